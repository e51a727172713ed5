/*
 * vector_add.h - the register map of the example design, a vector adder:
 * what the design in the FPGA (modelled by vector_add_model.c) and the
 * application that drives it (vector_add.c) agree on. The registers are a
 * 4 KiB window of 32-bit registers; addresses are card-local (card memory,
 * as DMA reaches it), 64-bit, low word first.
 */
#ifndef VECTOR_ADD_H
#define VECTOR_ADD_H

#define VADD_REG_ID 0x00u      /* VADD_ID while the FPGA is configured */
#define VADD_REG_CONTROL 0x04u /* write 1: start */
#define VADD_REG_STATUS 0x08u  /* VADD_STATUS_DONE, VADD_STATUS_INVALID */
#define VADD_REG_NOTIFY 0x0Cu  /* the notification raised when a start by CONTROL is done */
#define VADD_REG_A 0x10u       /* where A lies in card memory */
#define VADD_REG_B 0x18u       /* where B lies */
#define VADD_REG_C 0x20u       /* where the result goes */
#define VADD_REG_COUNT 0x28u   /* the number of 32-bit elements */
#define VADD_REG_RESULT 0x2Cu  /* the sum of the result's elements, modulo 2^32 */
#define VADD_REG_DMA_IN 0x30u  /* bytes that DMA moved to the card since configuration */
#define VADD_REG_DMA_OUT 0x34u /* bytes that DMA moved from the card */
#define VADD_REGISTER_BYTES 0x38u

#define VADD_ID 0x56414444u /* "VADD" */
#define VADD_STATUS_DONE 0x1u
#define VADD_STATUS_INVALID 0x2u /* the places or the length lie outside card memory */

#endif /* VECTOR_ADD_H */
