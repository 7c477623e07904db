"""Running a function in several forked worker processes, always reaped."""

import multiprocessing

FORK = multiprocessing.get_context("fork")
WORKERS = 8


def run_all(target, *args, count=WORKERS):
    """Runs target(i, *args) in `count` forked processes; returns their results."""
    queue = FORK.Queue()
    processes = [FORK.Process(target=lambda i=i: queue.put(target(i, *args)))
                 for i in range(count)]
    for process in processes:
        process.start()
    try:
        results = [queue.get(timeout=60) for _ in processes]
    finally:
        for process in processes:
            process.join(timeout=60)
            if process.is_alive():
                process.kill()
                process.join()
    assert all(process.exitcode == 0 for process in processes)
    return results
