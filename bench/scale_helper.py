#!/usr/bin/env python3
"""Helpers for bench/scale.sh, speaking the Parley protocol directly.

  scale_helper.py chats PORT N         register one owner and create N chats (pipelined)
  scale_helper.py idle PORT N PID      open N idle connections and print the
                                       server's resident growth per connection
"""
import resource
import socket
import struct
import sys
import time


def field(b):
    return struct.pack('<Q', len(b)) + b


def frame(code, *fields):
    payload = struct.pack('<Q', code) + b''.join(fields)
    return struct.pack('<i', len(payload)) + payload


def read_exact(sock, n):
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise SystemExit('scale_helper: server closed the connection')
        buf += chunk
    return bytes(buf)


def status(sock):
    (length,) = struct.unpack('<i', read_exact(sock, 4))
    body = read_exact(sock, length)
    return body[16:18]


def chats(port, n):
    owner = b'scale-owner-%d' % time.time_ns()
    s = socket.create_connection(('127.0.0.1', port))
    s.sendall(frame(0, field(owner)))
    if status(s) != b'ok':
        raise SystemExit('scale_helper: cannot register the chat owner')
    batch = 500
    made = 0
    for start in range(0, n, batch):
        count = min(batch, n - start)
        s.sendall(b''.join(frame(1, field(owner), field(b'%s-chat-%d' % (owner, start + i)))
                           for i in range(count)))
        made += sum(status(s) == b'ok' for _ in range(count))
    if made != n:
        raise SystemExit('scale_helper: created %d of %d chats' % (made, n))
    print(made)


def rss_kib(pid):
    with open('/proc/%s/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    raise SystemExit('scale_helper: no VmRSS for %s' % pid)


def idle(port, n, pid):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < n + 100:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, n + 100), hard))
    before = rss_kib(pid)
    socks = [socket.create_connection(('127.0.0.1', port)) for _ in range(n)]
    # One request on the last connection proves the server took them all.
    socks[-1].sendall(frame(8, field(b'no-such-chat')))
    if status(socks[-1]) != b'no':
        raise SystemExit('scale_helper: unexpected reply')
    time.sleep(0.5)
    after = rss_kib(pid)
    print('%d %.0f' % (n, (after - before) * 1024.0 / n))
    for s in socks:
        s.close()


if __name__ == '__main__':
    mode = sys.argv[1] if len(sys.argv) > 1 else ''
    if mode == 'chats' and len(sys.argv) == 4:
        chats(int(sys.argv[2]), int(sys.argv[3]))
    elif mode == 'idle' and len(sys.argv) == 5:
        idle(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
