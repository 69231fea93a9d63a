#!/usr/bin/python3
"""Test DNS server for the end-to-end tests (Debian's python3-dnslib).

    dns_server.py "NAME TYPE [VALUE]"...

Answers on 127.0.0.1:53 (UDP and TCP, in the test's network namespace) from
the records given: A (VALUE an address), MX or PTR (VALUE a host), NXDOMAIN
or SERVFAIL (every query of NAME). Names compare without regard to case or a
final dot; an unknown name gets NXDOMAIN, a known one without the type asked
an empty answer. Prints "ready" once listening, and sends each query to
syslog as "NAME TYPE" (ident dns-server) before its answer. Runs until its
parent ends.
"""

import ctypes
import signal
import sys
import syslog
import threading

from dnslib import A, MX, PTR, QTYPE, RCODE, RR
from dnslib.server import BaseResolver, DNSLogger, DNSServer


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
        syslog.syslog("%s %s" % (name, kind))
        reply = request.reply()
        entries = self.table.get(name, [("NXDOMAIN", "")])
        if entries[0][0] in ("NXDOMAIN", "SERVFAIL"):
            reply.header.rcode = getattr(RCODE, entries[0][0])
        for k, value in entries:
            if k == kind:
                rdata = {"A": A, "MX": MX, "PTR": PTR}[k](value)
                reply.add_answer(RR(request.q.qname, request.q.qtype, ttl=60,
                                    rdata=rdata))
        return reply


ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: it goes with the test
syslog.openlog("dns-server", 0, syslog.LOG_DAEMON)
quiet = DNSLogger(log="error", logf=lambda s: print(s, file=sys.stderr))
for tcp in (False, True):
    DNSServer(TableResolver(sys.argv[1:]), address="127.0.0.1", port=53,
              tcp=tcp, logger=quiet).start_thread()
print("ready", flush=True)
threading.Event().wait()
