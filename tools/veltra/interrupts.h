// Interrupts (Ctrl-C, a termination request, a terminal that hangs up; on
// Windows the console's Ctrl-C, Ctrl-Break and closing) while the tool does
// something that must not stop half way.
// Outside such a stretch an interrupt ends the process as it would without
// the tool's handlers. Inside, it is held: recorded, said on stderr, and
// acted on by the tool at its next safe point. A kill cannot be held; the
// flash update's recovery file is for that.
#pragma once

namespace tool::interrupts {

// Installs the handlers, once, when the tool starts.
void install();

// Holds interrupts while it lives. `announce` is the line said on stderr at
// the first interrupt ("" says nothing); later ones say they are held too.
class Hold {
  public:
    explicit Hold(const char* announce);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// Whether an interrupt came while one was held.
bool requested();

// Sleeps for `seconds`, or less when an interrupt comes; false then.
bool sleepUnlessInterrupted(double seconds);

}  // namespace tool::interrupts
