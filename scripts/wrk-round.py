#!/usr/bin/env python3
"""One load-test round as a line of figures, from wrk's output (run with --latency) and the CPU
ticks that the processes used during the round.

Usage: wrk-round.py ROUND NAME WRK_OUTPUT APACHE_TICKS BROKER_TICKS TICKS_PER_SECOND
Prints: round name req/s requests p50 p90 p99 failed apache-us/req broker-us/req
(latencies in ms; "failed" counts non-2xx/3xx answers and socket errors; BROKER_TICKS may be
"nan" when the broker's CPU time cannot be known for the round).
"""
import re
import sys

round_, name, path, apache, broker, ticks = sys.argv[1:]
text = open(path).read()
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
requests = int(re.search(r"(\d+) requests in", text).group(1))


def pct(p):
    m = re.search(r"^\s+%s%%\s+([\d.]+)(us|ms|s)\s*$" % p, text, re.M)
    return float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]


non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
sock = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
failed = (int(non2xx.group(1)) if non2xx else 0) + (sum(map(int, sock.groups())) if sock else 0)


def per_request_us(t):
    return float(t) / int(ticks) * 1e6 / max(requests, 1)


print(round_, name, f"{rps:.1f}", requests, f"{pct(50):.3f}", f"{pct(90):.3f}",
      f"{pct(99):.3f}", failed, f"{per_request_us(apache):.1f}", f"{per_request_us(broker):.1f}")
