"""Threads against the module, for ThreadSanitizer (run by scripts/run_tsan_tests.sh).

Several Python threads call all six functions at once, with a counter of their own, a
counter they share, or none; another thread polls every counter; a third forks while
calls are running, and each child makes a call of its own and exits. Every result is
compared with the one a single thread computed first. Exits 0 when everything matched
(ThreadSanitizer, when loaded, ends the process with its own status at the first race).

    python scripts/tsan_stress.py [seconds]
"""

import os
import random
import sys
import threading
import time

import kestrilune

FUNCTIONS = [getattr(kestrilune, name) for name in kestrilune.__all__[:6]]


def tree_set(n_trees, n_taxa, seed):
    rng = random.Random(seed)
    taxa = [f"T{i}" for i in range(n_taxa)]
    trees = []
    for _ in range(n_trees):
        rng.shuffle(taxa)
        groups = [taxa[k:k + 3] for k in range(0, n_taxa, 3)]
        trees.append("(" + ",".join(
            "(" + ",".join(f"{t}:{rng.random():.3f}" for t in g) + f"):{rng.random():.3f}"
            for g in groups) + ");")
    return trees


SETS = [tree_set(80, 24, seed) for seed in range(3)]


def call(fn, trees, progress=None):
    names = [str(i) for i in range(len(trees))]
    return fn(names, iter(trees), [{}], [0] * len(trees), progress=progress)


def main(seconds):
    expected = {(f, s): call(FUNCTIONS[f], trees) for f in range(6)
                for s, trees in enumerate(SETS)}
    shared = kestrilune.ProgressCounter()
    counters = [kestrilune.ProgressCounter() for _ in range(4)] + [shared]
    stop = threading.Event()
    failures = []
    calls = [0]

    def worker(k):
        rng = random.Random(k)
        while not stop.is_set():
            f, s = rng.randrange(6), rng.randrange(len(SETS))
            progress = [None, counters[k], shared][rng.randrange(3)]
            if call(FUNCTIONS[f], SETS[s], progress) != expected[(f, s)]:
                failures.append(f"thread {k}: {FUNCTIONS[f].__name__} on set {s}")
            calls[0] += 1

    def poller():
        while not stop.is_set():
            for counter in counters:
                counter.value(), counter.total(), counter.fraction(), repr(counter)
            time.sleep(0.0005)

    def forker():
        while not stop.is_set():
            time.sleep(0.2)
            pid = os.fork()
            if pid == 0:
                # Only this thread exists in the child; the pool must start afresh.
                ok = call(FUNCTIONS[0], SETS[0]) == expected[(0, 0)]
                ok = ok and call(FUNCTIONS[4], SETS[1], kestrilune.ProgressCounter()) == \
                    expected[(4, 1)]
                os._exit(0 if ok else 3)
            _, status = os.waitpid(pid, 0)
            if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
                failures.append(f"forked child ended with status {status:#x}")

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    threads += [threading.Thread(target=poller), threading.Thread(target=forker)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    print(f"{calls[0]} calls, {len(failures)} failures")
    for failure in failures[:10]:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 10.0))
