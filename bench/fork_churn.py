"""Peak memory of a feed that is reloaded again and again, in a process of
its own and in a child forked from a parent that already holds a table.

Each round inserts 20,000 /25s and 2,857 /23s and then clears the engine,
120 rounds in all.  A table is built in the parent first, as a pre-fork
server does before it forks its workers.  The figure is the peak resident
memory the loop adds (VmHWM after it, less VmRSS before it, in MB).

    python bench/fork_churn.py [--build build/python] [--rounds 120] [--variant lockfree]
"""

import argparse
import os
import sys


def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def churn(netrove, variant, rounds):
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    start = status("VmRSS")
    engine = netrove.RadixEngine(variant)
    for _ in range(rounds):
        for i in range(20000):
            engine.insert(f"10.{i >> 9}.{(i >> 1) & 255}.{(i & 1) * 128}/25", {"value": "a"})
        for i in range(2857):
            engine.insert(f"11.{i >> 7}.{(i & 127) * 2}.0/23", {"value": "b"})
        engine.clear()
    return (status("VmHWM") - start) / 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build/python")
    ap.add_argument("--rounds", type=int, default=120)
    ap.add_argument("--variant", default=None)
    args = ap.parse_args()
    sys.path.insert(0, args.build)
    import netrove

    parent = netrove.RadixEngine(args.variant)
    for i in range(50000):
        parent.insert(f"100.{i >> 8}.{i & 255}.0/24", {"value": "kept"})

    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(w, repr(churn(netrove, args.variant, args.rounds)).encode())
        os._exit(0)
    os.close(w)
    in_child = float(os.read(r, 64))
    os.waitpid(pid, 0)
    alone = churn(netrove, args.variant, args.rounds)
    print(f"variant {args.variant}: {args.rounds} rounds add {alone:.1f} MB at peak in a process of its own, "
          f"{in_child:.1f} MB in a forked child")


if __name__ == "__main__":
    main()
