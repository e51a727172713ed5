"""The exporter as a service any network client may reach: clients that
are slow, idle, endless or odd do not keep a scrape from its answer, nor
grow the exporter."""

from __future__ import annotations

import re
import socket
import time
import urllib.request
from typing import Callable

from conftest import WINDOWS, Exporter

# Wine answers a little slower; the bounds are the same.
SCRAPE_SECONDS = 1.0


def connect(exporter: Exporter) -> socket.socket:
    host, port = exporter.address.split(":")
    return socket.create_connection((host, int(port)), timeout=30)


def timed_scrape(exporter: Exporter) -> float:
    start = time.monotonic()
    with urllib.request.urlopen(exporter.url, timeout=10) as response:
        assert response.status == 200
        assert response.read().startswith(b"# HELP veltra_card_info ")
    return time.monotonic() - start


def exchange(exporter: Exporter, request: bytes) -> bytes:
    """What the exporter answers to `request`, up to its closing the
    connection."""
    with connect(exporter) as connection:
        connection.sendall(request)
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
        return answer


def closed_within(connection: socket.socket, seconds: float) -> float:
    """How long the exporter took to close a connection that sends nothing
    more; fails past `seconds`."""
    start = time.monotonic()
    connection.settimeout(seconds)
    while connection.recv(65536):
        pass
    return time.monotonic() - start


def test_slow_and_idle_clients_do_not_hold_the_scrapes(
        exporters: Callable[..., Exporter]) -> None:
    exporter = exporters()
    timed_scrape(exporter)
    # 300 connections that each send a byte of a request head now and then,
    # and 40 that send nothing: more than the 64 the exporter holds.
    dripping = [connect(exporter) for _ in range(300)]
    for connection in dripping:
        connection.sendall(b"GET /metrics HTTP/1.1\r\n")
    idle = [connect(exporter) for _ in range(40)]
    took = []
    for _ in range(4):
        for connection in dripping:
            try:
                connection.sendall(b"X")
            except OSError:
                pass  # closed by the exporter: it keeps at most 64
        took.append(timed_scrape(exporter))
        time.sleep(0.5)
    assert max(took) < SCRAPE_SECONDS, took
    for connection in dripping + idle:
        connection.close()


def test_a_head_has_a_deadline_and_an_idle_connection_ends(
        exporters: Callable[..., Exporter]) -> None:
    exporter = exporters()
    # A byte a second keeps no connection past the 5 s a head may take.
    dripping = connect(exporter)
    dripping.settimeout(1)
    start = time.monotonic()
    while time.monotonic() - start < 10:
        try:
            dripping.sendall(b"G")
            if dripping.recv(1) == b"":
                break
        except socket.timeout:
            continue
        except OSError:
            break
    assert 4.5 < time.monotonic() - start < 7.5
    dripping.close()
    # A kept-alive connection after its answer: closed within 5 s too.
    with connect(exporter) as connection:
        connection.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        assert connection.recv(65536).startswith(b"HTTP/1.1 200 OK\r\n")
        assert 4 < closed_within(connection, 8) < 7


def test_heads_are_capped_and_nothing_past_the_cap_is_kept(
        exporters: Callable[..., Exporter]) -> None:
    exporter = exporters()
    # A line of 8 KiB is taken; a line longer is refused, as is a head
    # over 64 KiB in all.
    taken = exchange(exporter, b"GET / HTTP/1.1\r\nX-Long: " + b"a" * 8000 +
                     b"\r\nConnection: close\r\n\r\n")
    assert taken.startswith(b"HTTP/1.1 200 OK\r\n")
    long_line = exchange(exporter, b"GET /metrics HTTP/1.1\r\nX-Long: " + b"a" * 9000 + b"\r\n\r\n")
    assert long_line.startswith(b"HTTP/1.1 431 Request Header Fields Too Large\r\n")
    many = b"".join(b"X-%d: %s\r\n" % (i, b"a" * 8000) for i in range(9))
    assert exchange(exporter, b"GET /metrics HTTP/1.1\r\n" + many + b"\r\n").startswith(
        b"HTTP/1.1 431 ")
    long_target = exchange(exporter, b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\n\r\n")
    assert long_target.startswith(b"HTTP/1.1 414 URI Too Long\r\n")

    # One endless header line: refused at the cap, and the rest is dropped
    # as it comes, not kept (the Linux exporter's memory is its own
    # process's; under Wine it is Wine's).
    def resident() -> int:
        status = open(f"/proc/{exporter.process.pid}/status").read()
        return int(status.split("VmRSS:")[1].split()[0]) * 1024

    before = 0 if WINDOWS else resident()
    with connect(exporter) as connection:
        connection.sendall(b"GET /metrics HTTP/1.1\r\nX-Endless: " + b"a" * 16384)
        assert connection.recv(65536).startswith(b"HTTP/1.1 431 ")
        sent = 0
        try:
            while sent < 64 * 2**20:
                connection.sendall(b"a" * 65536)
                sent += 65536
        except OSError:
            pass  # closed by the exporter once it has said no
    if not WINDOWS:
        assert resident() - before < 8 * 2**20, (before, resident())
    assert timed_scrape(exporter) < SCRAPE_SECONDS


def test_only_get_and_head_whole_and_without_a_body(exporters: Callable[..., Exporter]) -> None:
    exporter = exporters()
    whole = exchange(exporter, b"GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n")
    # 2,000 ranges in a line of 8 KB: the whole exposition, once, as for
    # any GET.
    ranges = b",".join([b"0-0"] * 2000)
    ranged = exchange(exporter, b"GET /metrics HTTP/1.1\r\nRange: bytes=" + ranges +
                      b"\r\nConnection: close\r\n\r\n")
    assert ranged.startswith(b"HTTP/1.1 200 OK\r\n")
    assert b"multipart" not in ranged and abs(len(ranged) - len(whole)) < 200
    assert ranged.count(b"# HELP veltra_card_info ") == 1

    head = exchange(exporter, b"HEAD /metrics HTTP/1.1\r\nConnection: close\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n") and head.endswith(b"\r\n\r\n")
    assert b"Content-Length: " in head
    for method in (b"POST", b"PUT", b"DELETE", b"OPTIONS", b"TRACE"):
        refused = exchange(exporter, method + b" /metrics HTTP/1.1\r\n\r\n")
        assert refused.startswith(b"HTTP/1.1 405 Method Not Allowed\r\n"), method
        assert b"\r\nAllow: GET, HEAD\r\n" in refused
    assert exchange(exporter, b"GET /other HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 404 ")
    for odd in (b"NONSENSE\r\n\r\n", b"GET ?x HTTP/1.1\r\n\r\n", b"GET # HTTP/1.1\r\n\r\n"):
        assert exchange(exporter, odd).startswith(b"HTTP/1.1 400 "), odd
    # Requests sent at once on one connection are answered in their order.
    answers = exchange(exporter, b"GET / HTTP/1.1\r\n\r\nHEAD /metrics HTTP/1.1\r\n\r\n"
                       b"GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n")
    assert re.findall(rb"HTTP/1\.1 (\d{3}) ", answers) == [b"200", b"200", b"404"]
    # An HTTP/1.0 client that asks to keep the connection is told it is kept.
    with connect(exporter) as connection:
        connection.sendall(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n")
        assert b"\r\nConnection: keep-alive\r\n" in connection.recv(65536)

    # A body announced on /metrics is not waited for: the answer comes, and
    # the connection closes.
    with connect(exporter) as connection:
        connection.sendall(b"GET /metrics HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n")
        start = time.monotonic()
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
        assert time.monotonic() - start < 3
    assert answer.startswith(b"HTTP/1.1 200 OK\r\n") and b"Connection: close\r\n" in answer


def test_at_the_connection_limit_a_scrape_takes_the_oldest_place(
        exporters: Callable[..., Exporter]) -> None:
    exporter = exporters("--max-connections", "8")
    held = [connect(exporter) for _ in range(8)]
    time.sleep(0.5)
    assert timed_scrape(exporter) < SCRAPE_SECONDS
    # The oldest connection made room for it.
    held[0].settimeout(5)
    assert held[0].recv(1) == b""
    for connection in held:
        connection.close()

    # Clients that ask again and again and never read their answers, and
    # some that then shut their side: they fill every place with answers
    # that do not move, and still a scrape gets one.
    pipelined = b"GET / HTTP/1.1\r\n\r\n" * 100000  # 25 MB of answers
    stuck = []
    for number in range(8):
        connection = socket.socket()
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        host, port = exporter.address.split(":")
        connection.connect((host, int(port)))
        stuck.append(connection)
        connection.setblocking(False)
        try:
            connection.sendall(pipelined)
        except OSError:
            pass
        if number % 2:
            connection.shutdown(socket.SHUT_WR)
    time.sleep(1.5)
    took = [timed_scrape(exporter) for _ in range(3)]
    assert max(took) < SCRAPE_SECONDS, took
    for connection in stuck:
        connection.close()

