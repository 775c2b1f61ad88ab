"""ProgressCounter and its use by a running call."""

import inspect
import random
import signal
import threading
import time

import pytest

import kestrilune
from conftest import balanced_trees, run
from reference import random_newick

TREES4 = ["((A,B),(C,D));", "((A,C),(B,D));", "((A,D),(B,C));", "((A,B),(C,D));"]


def test_fresh_counter():
    counter = kestrilune.ProgressCounter()
    assert (counter.value(), counter.total(), counter.fraction()) == (0, 0, 0.0)
    assert repr(counter) == "ProgressCounter(value=0, total=0)"
    assert isinstance(counter.value(), int) and isinstance(counter.fraction(), float)


def test_signatures_and_argument_checks():
    assert kestrilune.ProgressCounter.__text_signature__ == "()"
    assert str(inspect.signature(kestrilune.ProgressCounter)) == "()"
    for method in ("value", "total", "fraction", "reset"):
        assert getattr(kestrilune.ProgressCounter, method).__text_signature__ == "($self)"
        with pytest.raises(TypeError):
            getattr(kestrilune.ProgressCounter(), method)(1)
    assert kestrilune.ProgressCounter.value.__doc__ == "Pairs completed so far (lock-free atomic load)."
    with pytest.raises(TypeError):
        kestrilune.ProgressCounter(1)
    with pytest.raises(TypeError):
        kestrilune.ProgressCounter(start=1)


@pytest.mark.parametrize("n_trees, pairs", [(2, 1), (4, 6)])
def test_completed_call_sets_value_and_total(n_trees, pairs):
    counter = kestrilune.ProgressCounter()
    run(kestrilune.pairwise_rf_from_newick_iter, TREES4[:n_trees], progress=counter)
    assert (counter.value(), counter.total(), counter.fraction()) == (pairs, pairs, 1.0)
    assert repr(counter) == f"ProgressCounter(value={pairs}, total={pairs})"
    counter.reset()
    assert (counter.value(), counter.total(), counter.fraction()) == (0, 0, 0.0)


def test_failed_parse_leaves_counter_untouched():
    counter = kestrilune.ProgressCounter()
    run(kestrilune.pairwise_rf_from_newick_iter, TREES4, progress=counter)
    with pytest.raises(ValueError, match="Failed to parse newick at index 1"):
        run(kestrilune.pairwise_rf_from_newick_iter, ["(A,B);", "(A,B"], progress=counter)
    assert (counter.value(), counter.total()) == (6, 6)


def test_subclass_is_accepted_and_counter_matches_no_counter():
    class Mine(kestrilune.ProgressCounter):
        pass

    counter = Mine()
    with_counter = run(kestrilune.pairwise_rf_from_newick_iter, TREES4, progress=counter)
    without = run(kestrilune.pairwise_rf_from_newick_iter, TREES4)
    assert with_counter == without
    assert counter.fraction() == 1.0


def test_overlapping_calls_clamp_fraction():
    counter = kestrilune.ProgressCounter()
    # Two calls share one counter: after both, value may pass total; fraction stays <= 1.
    threads = [threading.Thread(target=run, args=(kestrilune.pairwise_rf_from_newick_iter, TREES4),
                                kwargs=dict(progress=counter)) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert 0.0 <= counter.fraction() <= 1.0
    assert counter.total() == 6


def big_tree_set(n_trees, n_taxa, seed):
    rng = random.Random(seed)
    taxa = [f"T{i}" for i in range(n_taxa)]
    return [random_newick(rng, taxa) for _ in range(n_trees)]


def test_polled_from_another_thread_while_the_gil_is_released():
    # The call runs on this thread, far longer than the poller needs, until the poller has
    # seen rows being computed and stops it through a signal handler: whatever the load,
    # the poller can only have run while the call held no GIL.
    trees = balanced_trees(4000, 100, seed=5)
    total = 4000 * 3999 // 2
    counter = kestrilune.ProgressCounter()
    samples, finished = [], threading.Event()

    class Enough(Exception):
        pass

    def enough(*_):
        raise Enough

    def poll():
        while not finished.is_set():
            samples.append((counter.value(), counter.total()))
            if samples[-1][1] == total and 0 < samples[-1][0] < total:
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
                return
            time.sleep(0.0005)

    previous = signal.signal(signal.SIGUSR1, enough)
    poller = threading.Thread(target=poll)
    try:
        poller.start()
        with pytest.raises(Enough):
            run(kestrilune.pairwise_wrf_from_newick_iter, trees, progress=counter)
    finally:
        finished.set()
        poller.join()
        signal.signal(signal.SIGUSR1, previous)
    values = [v for v, t in samples if t == total]
    assert values == sorted(values) and 0 < values[-1] < total
    assert values[-1] <= counter.value() < total  # left where the rows stopped


def test_two_concurrent_calls_with_counters():
    sets = [big_tree_set(300, 40, seed) for seed in (1, 2)]
    expected = [run(kestrilune.pairwise_rf_from_newick_iter, s) for s in sets]
    results = [None, None]
    counters = [kestrilune.ProgressCounter(), kestrilune.ProgressCounter()]

    def work(k):
        for _ in range(3):
            results[k] = run(kestrilune.pairwise_rf_from_newick_iter, sets[k], progress=counters[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected
    assert all(c.value() == c.total() == 300 * 299 // 2 for c in counters)
