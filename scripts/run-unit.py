#!/usr/bin/python3
"""Runs one notify-type systemd service (and its socket unit) the way systemd would start it, on
a machine without systemd (CI): the socket is created with the socket unit's path, owner and
mode and passed as LISTEN_FDS; the runtime directory is made with the service's owner and mode;
the program runs with the unit's ExecStart, Environment, User, Group and UMask and a
NOTIFY_SOCKET, and counts as started once it sends READY=1. SIGTERM or SIGINT stops it with the
unit's KillSignal and TimeoutStopSec, as `systemctl stop` does.

Not emulated: the sandboxing directives (ProtectSystem=, SystemCallFilter=, ...), restarts and
the journal (the program's output goes to --log).

Usage: run-unit.py SERVICE_UNIT [--socket SOCKET_UNIT] --pid-file FILE [--log FILE]
                   [--ready-timeout SECONDS]
The pid file (the service's main pid) is written once the service is ready; the exit status is
0 after a clean stop, 1 when the service failed to start or ended by itself.
"""
import argparse
import grp
import os
import pwd
import shlex
import signal
import socket
import sys
import tempfile
import time


def parse_unit(path):
    """The unit's settings as {section: [(key, value), ...]}, in file order."""
    sections = {}
    current = None
    pending = ""
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if pending:
                line = pending + line.lstrip()
                pending = ""
            stripped = line.strip()
            if not stripped or stripped[0] in "#;":
                continue
            if stripped.endswith("\\"):
                pending = stripped[:-1] + " "
                continue
            if stripped.startswith("[") and stripped.endswith("]"):
                current = sections.setdefault(stripped[1:-1], [])
                continue
            if current is None or "=" not in stripped:
                raise SystemExit(f"run-unit: {path}: cannot read line: {raw.rstrip()}")
            key, value = stripped.split("=", 1)
            current.append((key.strip(), value.strip()))
    return sections


def last(settings, key, default=None):
    value = default
    for k, v in settings:
        if k == key:
            value = v
    return value


def every(settings, key):
    return [v for k, v in settings if k == key]


def gid_of(name):
    return int(name) if name.isdigit() else grp.getgrnam(name).gr_gid


def uid_of(name):
    return int(name) if name.isdigit() else pwd.getpwnam(name).pw_uid


def make_socket(settings, unit_name):
    path = last(settings, "ListenStream")
    if not path or not path.startswith("/"):
        raise SystemExit(f"run-unit: {unit_name}: only a ListenStream= path is supported")
    parent = os.path.dirname(path)
    if not os.path.isdir(parent):
        os.makedirs(parent, mode=int(last(settings, "DirectoryMode", "0755"), 8))
    if os.path.exists(path):
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    os.chown(path, uid_of(last(settings, "SocketUser", "root")),
             gid_of(last(settings, "SocketGroup", "root")))
    os.chmod(path, int(last(settings, "SocketMode", "0666"), 8))
    sock.listen(int(last(settings, "Backlog", "4096")))
    return sock, path


def make_runtime_dirs(service, uid, gid):
    made = []
    mode = int(last(service, "RuntimeDirectoryMode", "0755"), 8)
    for names in every(service, "RuntimeDirectory"):
        for name in names.split():
            path = os.path.join("/run", name)
            os.makedirs(path, exist_ok=True)
            os.chown(path, uid, gid)
            os.chmod(path, mode)
            made.append(path)
    return made


def environment_of(service):
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
    for line in every(service, "Environment"):
        for assignment in shlex.split(line):
            if "=" in assignment:
                key, value = assignment.split("=", 1)
                env[key] = value
    return env


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("service")
    parser.add_argument("--socket")
    parser.add_argument("--pid-file", required=True)
    parser.add_argument("--log", default="/dev/null")
    parser.add_argument("--ready-timeout", type=float, default=20.0)
    args = parser.parse_args()

    unit = parse_unit(args.service)
    service = unit.get("Service", [])
    if last(service, "Type", "simple") != "notify":
        raise SystemExit("run-unit: only Type=notify services are supported")
    argv = shlex.split(last(service, "ExecStart", ""))
    if not argv or not argv[0].startswith("/"):
        raise SystemExit("run-unit: ExecStart= must start with an absolute program path")
    uid = uid_of(last(service, "User", "root"))
    gid = gid_of(last(service, "Group", "root"))
    kill_signal = getattr(signal, last(service, "KillSignal", "SIGTERM"))
    stop_timeout = float(last(service, "TimeoutStopSec", "90").rstrip("s"))
    preserve = last(service, "RuntimeDirectoryPreserve", "no") in ("yes", "true", "1")

    listen = None
    socket_path = None
    remove_on_stop = False
    if args.socket:
        socket_unit = parse_unit(args.socket)
        socket_settings = socket_unit.get("Socket", [])
        listen, socket_path = make_socket(socket_settings, args.socket)
        remove_on_stop = last(socket_settings, "RemoveOnStop", "no") in ("yes", "true", "1")
    runtime_dirs = make_runtime_dirs(service, uid, gid)

    private = tempfile.mkdtemp(prefix="run-unit.")
    notify_path = os.path.join(private, "notify")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)

    env = environment_of(service)
    env["NOTIFY_SOCKET"] = notify_path
    if runtime_dirs:
        env["RUNTIME_DIRECTORY"] = ":".join(runtime_dirs)
    log = os.open(args.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)

    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            if listen is not None:
                if listen.fileno() != 3:
                    os.dup2(listen.fileno(), 3)
                os.set_inheritable(3, True)  # the socket was made close-on-exec
                env["LISTEN_FDS"] = "1"
                env["LISTEN_PID"] = str(os.getpid())
                env["LISTEN_FDNAMES"] = os.path.basename(args.socket)
            devnull = os.open("/dev/null", os.O_RDONLY)
            os.dup2(devnull, 0)
            os.dup2(log, 1)
            os.dup2(log, 2)
            os.closerange(4 if listen is not None else 3, 1024)
            os.umask(int(last(service, "UMask", "0022"), 8))
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
            os.execve(argv[0], argv, env)
        finally:
            os._exit(127)

    os.close(log)
    stopping = False

    def stop(_signum, _frame):
        nonlocal stopping
        stopping = True

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def cleanup():
        if remove_on_stop and socket_path and os.path.exists(socket_path):
            os.unlink(socket_path)
        if not preserve:
            for path in runtime_dirs:
                try:
                    os.rmdir(path)
                except OSError:
                    pass
        notify.close()
        os.unlink(notify_path)
        os.rmdir(private)

    def reap(block):
        done, status = os.waitpid(pid, 0 if block else os.WNOHANG)
        return os.waitstatus_to_exitcode(status) if done == pid else None

    notify.settimeout(0.2)
    ready = False
    deadline = time.monotonic() + args.ready_timeout
    code = None
    while not stopping:
        try:
            message = notify.recv(4096).decode("utf-8", "replace")
            for line in message.splitlines():
                print(f"run-unit: {os.path.basename(args.service)}: {line}", file=sys.stderr)
                if line == "READY=1" and not ready:
                    ready = True
                    with open(args.pid_file + ".tmp", "w") as f:
                        f.write(f"{pid}\n")
                    os.rename(args.pid_file + ".tmp", args.pid_file)
        except socket.timeout:
            pass
        except InterruptedError:
            pass
        code = reap(False)
        if code is not None:
            break
        if not ready and time.monotonic() > deadline:
            print("run-unit: the service did not report READY=1 in time", file=sys.stderr)
            stopping = True

    if code is None:
        os.kill(pid, kill_signal)
        end = time.monotonic() + stop_timeout
        while code is None and time.monotonic() < end:
            code = reap(False)
            if code is None:
                time.sleep(0.1)
        if code is None:
            os.kill(pid, signal.SIGKILL)
            code = reap(True)
            print("run-unit: the service did not stop in time and was killed", file=sys.stderr)
        clean = ready
    else:
        print(f"run-unit: the service ended by itself (status {code})", file=sys.stderr)
        clean = False
    if os.path.exists(args.pid_file):
        os.unlink(args.pid_file)
    cleanup()
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
