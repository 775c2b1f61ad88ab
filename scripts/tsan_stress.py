"""Threads against the module, for ThreadSanitizer (run by scripts/run_tsan_tests.sh).

Several Python threads call all six functions at once, with a counter of their own, a
counter they share, or none; another thread polls every counter; a third forks while
calls are running, and each child makes a call of its own and exits. Every result is
compared with the one a single thread computed first. Exits 0 when everything matched
(ThreadSanitizer, when loaded, ends the process with its own status at the first race).

A forked child that has not exited after CHILD_SECONDS is looked at with gdb and killed.
ThreadSanitizer's runtime does not support fork() in a threaded process fully: its
allocator's locks are not all taken around the fork, so a child can inherit one held by a
thread that is gone and wait on it for ever. A child stuck in the sanitizer's own frames is
counted and reported as that; a child stuck anywhere else, or one that cannot be looked at,
is a failure, with its stacks printed. The whole run is bounded too: past its time plus
WHOLE_RUN_GRACE, every thread's Python stack is printed and the process ends with status 1.

    python scripts/tsan_stress.py [seconds]
"""

import faulthandler
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import kestrilune

FUNCTIONS = [getattr(kestrilune, name) for name in kestrilune.__all__[:6]]
CHILD_SECONDS = 30.0
WHOLE_RUN_GRACE = 600.0


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


def wait_for_child(pid):
    """The child's wait status; None for a child stuck in the sanitizer's runtime (killed);
    a failure's text for a child stuck elsewhere (killed, its stacks printed)."""
    deadline = time.monotonic() + CHILD_SECONDS
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.05)
    stacks = child_stacks(pid)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    # gdb lists the threads last-made first: the child's pool workers, idle, can come
    # before the thread that waits on the inherited lock. Any thread waiting inside the
    # sanitizer's own frames holds the child there.
    for thread in stacks.split("\nThread ")[1:]:
        innermost = [line for line in thread.splitlines() if line.startswith("#")][:12]
        if innermost and all("__sanitizer::" in line or "__tsan::" in line
                             for line in innermost[:4]):
            print(f"forked child {pid} stuck in ThreadSanitizer's runtime:", *innermost[:6],
                  sep="\n    ")
            return None
    print(stacks)
    return f"forked child {pid} did not exit within {CHILD_SECONDS:.0f} s (stacks above)"


def child_stacks(pid):
    gdb = shutil.which("gdb")
    if gdb is None:
        return "(gdb not found: no stacks)"
    # gdb itself must not run under the sanitizer's runtime.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "TSAN_OPTIONS")}
    try:
        done = subprocess.run([gdb, "-p", str(pid), "-batch", "-nx", "-ex",
                               "thread apply all bt 40"], capture_output=True, text=True,
                              timeout=120, check=False, env=env)
    except subprocess.TimeoutExpired:
        return "(gdb did not finish within 120 s: no stacks)"
    return done.stdout


def main(seconds):
    # Past its time and a generous grace, print every thread's stack and end the run.
    faulthandler.dump_traceback_later(seconds + WHOLE_RUN_GRACE, exit=True)
    expected = {(f, s): call(FUNCTIONS[f], trees) for f in range(6)
                for s, trees in enumerate(SETS)}
    shared = kestrilune.ProgressCounter()
    counters = [kestrilune.ProgressCounter() for _ in range(4)] + [shared]
    stop = threading.Event()
    failures = []
    calls = [0]
    stuck_in_sanitizer = [0]

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
        try:
            fork_and_check()
        except BaseException as exc:  # a failure, not a thread that dies unnoticed
            failures.append(f"forker: {exc!r}")

    def fork_and_check():
        while not stop.is_set():
            time.sleep(0.2)
            pid = os.fork()
            if pid == 0:
                # Only this thread exists in the child; the pool must start afresh.
                ok = call(FUNCTIONS[0], SETS[0]) == expected[(0, 0)]
                ok = ok and call(FUNCTIONS[4], SETS[1], kestrilune.ProgressCounter()) == \
                    expected[(4, 1)]
                os._exit(0 if ok else 3)
            status = wait_for_child(pid)
            if status is None:
                stuck_in_sanitizer[0] += 1
            elif isinstance(status, str):
                failures.append(status)
            elif not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
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
    if stuck_in_sanitizer[0]:
        print(f"{stuck_in_sanitizer[0]} forked children stuck in ThreadSanitizer's allocator "
              "were killed (its limit with fork() in a threaded process, not counted)")
    for failure in failures[:10]:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 10.0))
