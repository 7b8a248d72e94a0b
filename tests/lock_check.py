"""Checks that a call releases the interpreter lock while it computes."""
import threading
import time


def run_beside_spinner(call):
    """Runs call() while another Python thread spins; returns (result, longest stall, duration).

    The spinner records every pause longer than 20 ms. A call that held the interpreter lock for
    its whole computation would stall the spinner for about the whole duration.
    """
    stop = threading.Event()
    gaps = []

    def spin():
        prev = time.perf_counter()
        while not stop.is_set():
            now = time.perf_counter()
            if now - prev > 0.02:
                gaps.append((prev, now))
            prev = now

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        result = call()
        end = time.perf_counter()
    finally:
        stop.set()
        spinner.join()
    longest = max((min(b, end) - max(a, start) for a, b in gaps), default=0.0)
    return result, longest, end - start
