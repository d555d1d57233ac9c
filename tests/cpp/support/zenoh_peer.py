"""Scripted Zenoh peer for the C++ network tests (eclipse-zenoh, default configuration).

    zenoh_peer.py [--publish KEY HEX PERIOD_MS]... [--queryable KEY REPLY...]...
                  [--concurrent-replies]

--publish puts the payload HEX on KEY every PERIOD_MS milliseconds.
--queryable answers each query on KEY with the REPLY items in order: ok:HEX (a reply),
err:HEX (an error reply) or sleep:MS (a pause). For every query it prints
"query <payload hex> <encoding>".
--concurrent-replies answers each query on a thread of its own, so that a query arriving while
another is still being answered is printed at once instead of after the earlier replies.

Prints "ready" once everything is declared, then runs until stdin is closed. Each stdin line
"put KEY HEX" puts the payload HEX (may be left out: an empty payload) on KEY once and then
prints "put KEY". Such a put waits for room instead of being dropped when Zenoh's queue is full
(a large sample just before it may still fill the queue on a loaded machine): the tests count on
every one of them, the end marker of a test included.
"""

import sys
import threading
import time

import zenoh


def main(argv):
    publishes, queryables = [], []
    concurrent = False
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
        elif option == "--concurrent-replies":
            concurrent = True
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
            if concurrent:
                threading.Thread(target=run_replies, args=(query,), daemon=True).start()
            else:
                run_replies(query)

        def run_replies(query):
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
    for line in sys.stdin:
        words = line.split()
        if len(words) in (2, 3) and words[0] == "put":
            session.put(words[1], bytes.fromhex(words[2] if len(words) == 3 else ""),
                        congestion_control=zenoh.CongestionControl.BLOCK)
            say(f"put {words[1]}")
    stop.set()
    for thread in threads:
        thread.join()
    del keep
    session.close()


if __name__ == "__main__":
    main(sys.argv[1:])
