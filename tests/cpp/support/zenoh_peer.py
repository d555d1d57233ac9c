"""Scripted Zenoh peer for the C++ network tests (eclipse-zenoh, default configuration).

    zenoh_peer.py [--publish KEY HEX PERIOD_MS]... [--queryable KEY REPLY...]

--publish puts the payload HEX on KEY every PERIOD_MS milliseconds.
--queryable answers each query on KEY with the REPLY items in order: ok:HEX (a reply),
err:HEX (an error reply) or sleep:MS (a pause). For every query it prints
"query <payload hex> <encoding>".

Prints "ready" once everything is declared, then runs until stdin is closed.
"""

import sys
import threading
import time

import zenoh


def main(argv):
    publishes, queryables = [], []
    args = list(argv)
    while args:
        option = args.pop(0)
        if option == "--publish":
            key, payload, period = args.pop(0), bytes.fromhex(args.pop(0)), int(args.pop(0))
            publishes.append((key, payload, period / 1000.0))
        elif option == "--queryable":
            key = args.pop(0)
            replies = []
            while args and not args[0].startswith("--"):
                replies.append(args.pop(0))
            queryables.append((key, replies))
        else:
            raise SystemExit(f"unknown option {option}")

    out_lock = threading.Lock()

    def say(line):
        with out_lock:
            print(line, flush=True)

    session = zenoh.open(zenoh.Config())
    stop = threading.Event()

    def answer(replies):
        def handler(query):
            payload = query.payload.to_bytes().hex() if query.payload is not None else ""
            say(f"query {payload} {query.encoding}")
            for item in replies:
                kind, _, value = item.partition(":")
                if kind == "ok":
                    query.reply(query.key_expr, bytes.fromhex(value))
                elif kind == "err":
                    query.reply_err(bytes.fromhex(value))
                elif kind == "sleep":
                    time.sleep(int(value) / 1000.0)
        return handler

    keep = [session.declare_queryable(key, answer(replies)) for key, replies in queryables]

    def publish(key, payload, period):
        publisher = session.declare_publisher(key)
        while not stop.wait(period):
            publisher.put(payload)

    threads = [threading.Thread(target=publish, args=p, daemon=True) for p in publishes]
    for thread in threads:
        thread.start()
    say("ready")
    sys.stdin.read()
    stop.set()
    for thread in threads:
        thread.join()
    del keep
    session.close()


if __name__ == "__main__":
    main(sys.argv[1:])
