#!/usr/bin/python3
"""Test DNS server for the end-to-end tests (Debian's python3-dnslib).

    dns_server.py "NAME TYPE [VALUE]"...

Answers on 127.0.0.1:53 (UDP and TCP, inside the test's own network
namespace) from the records given: A (VALUE an address), MX (a host, or
"PREFERENCE HOST"), PTR (a host), NXDOMAIN or SERVFAIL (for every query of
NAME). Names compare without regard to case or a final dot; a name not in
the table gets NXDOMAIN, a known name without the asked type an empty answer.

Prints "ready" once listening, then "QUERY NAME TYPE" for each query,
flushed before the answer goes out. Runs until it is killed.
"""

import sys
import threading

from dnslib import A, MX, PTR, QTYPE, RCODE, RR
from dnslib.server import BaseResolver, DNSLogger, DNSServer

lock = threading.Lock()


def say(line):
    with lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def normal(name):
    return str(name).rstrip(".").lower()


class TableResolver(BaseResolver):
    def __init__(self, records):
        self.table = {}
        for record in records:
            name, kind, value = (record.split(None, 2) + [""])[:3]
            self.table.setdefault(normal(name), []).append((kind.upper(), value))

    def resolve(self, request, handler):
        name, kind = normal(request.q.qname), QTYPE[request.q.qtype]
        say("QUERY %s %s" % (name, kind))
        reply = request.reply()
        entries = self.table.get(name, [("NXDOMAIN", "")])
        kinds = [k for k, _ in entries]
        if "SERVFAIL" in kinds or "NXDOMAIN" in kinds:
            reply.header.rcode = getattr(RCODE, kinds[0])
            return reply
        for k, value in entries:
            if k == kind:
                reply.add_answer(RR(request.q.qname, request.q.qtype, ttl=60,
                                    rdata=rdata(k, value)))
        return reply


def rdata(kind, value):
    if kind == "MX":
        words = value.split()
        return MX(words[-1], int(words[0]) if len(words) == 2 else 10)
    return A(value) if kind == "A" else PTR(value)


def main():
    resolver = TableResolver(sys.argv[1:])
    quiet = DNSLogger(log="error", logf=lambda s: print(s, file=sys.stderr))
    for tcp in (False, True):
        DNSServer(resolver, address="127.0.0.1", port=53, tcp=tcp,
                  logger=quiet).start_thread()
    say("ready")
    threading.Event().wait()


if __name__ == "__main__":
    main()
