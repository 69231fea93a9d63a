#!/usr/bin/python3
"""Test DNS server for the end-to-end tests.

Answers every query from a fixed table given as JSON on the command line,
over UDP and TCP on one address and port (127.0.0.1:53 inside a test's own
network namespace). The answers are built with dnslib.

    dns_server.py --address 127.0.0.1 --port 53 --records JSON

JSON is a list of records, each {"name": N, "type": T, "value": V}:
    A         V is an IPv4 address
    MX        V is a host name, or "PREFERENCE HOST"
    PTR       V is a host name
    NXDOMAIN  the name does not exist (V unused)
    SERVFAIL  every query for the name fails with SERVFAIL (V unused)

Names compare without regard to case or a final dot. A query for a name
the table does not hold gets NXDOMAIN; a query for a name that exists but
has no record of the asked type gets an empty NOERROR answer (no data).

Standard output: "ready" once both sockets are bound, then one line per
query received, "QUERY <name> <TYPE> <udp|tcp>", written and flushed before
the answer is sent, so a test that has its answer can already read the line.
The server runs until it is killed.
"""

import argparse
import json
import sys
import threading
import time

from dnslib import A, MX, PTR, QTYPE, RCODE, RR
from dnslib.server import DNSServer

TTL = 60
_print_lock = threading.Lock()


def say(line):
    with _print_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def normal(name):
    return str(name).rstrip(".").lower()


class TableResolver:
    def __init__(self, records):
        self.names = {}
        for record in records:
            kind = record["type"].upper()
            if kind not in ("A", "MX", "PTR", "NXDOMAIN", "SERVFAIL"):
                raise ValueError("unknown record type %r" % record["type"])
            self.names.setdefault(normal(record["name"]), []).append(
                (kind, record.get("value", "")))

    def resolve(self, request, handler):
        question = request.q
        qname = normal(question.qname)
        qtype = QTYPE[question.qtype]
        say("QUERY %s %s %s" % (qname, qtype, handler.protocol))
        reply = request.reply()
        entries = self.names.get(qname)
        kinds = set(kind for kind, _ in entries or [])
        if "SERVFAIL" in kinds:
            reply.header.rcode = RCODE.SERVFAIL
        elif not entries or "NXDOMAIN" in kinds:
            reply.header.rcode = RCODE.NXDOMAIN
        else:
            for kind, value in entries:
                if kind != qtype:
                    continue
                reply.add_answer(RR(question.qname, question.qtype,
                                    rdata=self.rdata(kind, value), ttl=TTL))
        return reply

    @staticmethod
    def rdata(kind, value):
        if kind == "A":
            return A(value)
        if kind == "PTR":
            return PTR(value)
        parts = value.split()
        if len(parts) == 2:
            return MX(parts[1], int(parts[0]))
        return MX(value, 10)


class QuietLogger:
    """dnslib's logger interface, silent: the resolver reports queries."""

    def log_recv(self, handler, data): pass
    def log_send(self, handler, data): pass
    def log_request(self, handler, request): pass
    def log_reply(self, handler, reply): pass
    def log_truncated(self, handler, reply): pass
    def log_data(self, dnsobj): pass

    def log_error(self, handler, error):
        sys.stderr.write("dns_server: bad request: %s\n" % error)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=53)
    parser.add_argument("--records", required=True,
                        help="JSON list of {name, type, value}")
    args = parser.parse_args()

    resolver = TableResolver(json.loads(args.records))
    servers = [DNSServer(resolver, address=args.address, port=args.port,
                         tcp=tcp, logger=QuietLogger())
               for tcp in (False, True)]
    for server in servers:
        server.start_thread()
    say("ready")
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
