#!/usr/bin/env python3
"""Holds the broker's listening socket the way systemd's TarvexWebAgent.socket does, and runs
`logon-broker -console` with it ($LISTEN_PID, $LISTEN_FDS, descriptor 3).

    broker-holder.py SOCKET GROUP PIDFILE BROKER

  SIGHUP    restart the broker as an upgrade does: the running broker is stopped (SIGTERM: it
            finishes its calls), a new one is started; the socket and the connections waiting
            in it stay.
  SIGTERM   stop the broker, remove the socket, exit.
While no broker runs (it ended on its own), a connection arriving on the socket starts one, as
socket activation does. PIDFILE always holds the running broker's process id. The broker's
output goes to this program's standard output."""

import grp
import os
import select
import signal
import socket
import subprocess
import sys
import time

path, group, pidfile, broker = sys.argv[1:5]


def make_socket():
    # Bound at its final path, as systemd binds it (the broker checks the path it was bound to),
    # with a umask that gives it mode 0660 from the start; then given the web server's group.
    if os.path.lexists(path):
        os.unlink(path)  # left by an earlier run
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    previous = os.umask(0o117)
    try:
        sock.bind(path)
    finally:
        os.umask(previous)
    gid = int(group) if group.isdigit() else grp.getgrnam(group).gr_gid
    os.chown(path, -1, gid)
    os.chmod(path, 0o660)
    sock.listen(socket.SOMAXCONN)
    return sock


listener = make_socket()
fd = listener.fileno()
child = None
pending = []  # signals to act on, in order


def start():
    global child
    child = subprocess.Popen(
        ["/bin/sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" -console', broker],
        stdin=subprocess.DEVNULL,
        pass_fds=(3,),
        preexec_fn=lambda: os.dup2(fd, 3),
    )
    with open(pidfile + ".new", "w") as f:
        f.write(f"{child.pid}\n")
    os.replace(pidfile + ".new", pidfile)


def stop():
    global child
    if child is None:
        return
    child.send_signal(signal.SIGTERM)
    try:
        child.wait(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
    child = None


for s in (signal.SIGHUP, signal.SIGTERM, signal.SIGINT):
    signal.signal(s, lambda number, frame: pending.append(number))

start()
while True:
    while pending:
        number = pending.pop(0)
        if number == signal.SIGHUP:
            stop()
            start()
        else:
            stop()
            os.unlink(path)
            sys.exit(0)
    if child is not None and child.poll() is not None:
        print(f"broker-holder: the broker ended with status {child.returncode}", flush=True)
        child = None
    if child is None:
        # Socket activation: the next connection starts a broker.
        try:
            ready, _, _ = select.select([listener], [], [], 0.2)
        except InterruptedError:
            continue
        if ready and not pending:
            start()
    else:
        time.sleep(0.05)
