"""Running test code on threads: several at once with the interpreter
switching between them as often as it can, or one on a small C stack."""
import sys
import threading


def run_switching(target, args_list):
    """Runs target(*args) on one thread per entry of args_list, with a switch
    interval of a microsecond, and waits for all of them."""
    threads = [threading.Thread(target=target, args=args) for args in args_list]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)


def run_in_small_stack(fn, size=512 * 1024):
    """Calls fn on a thread whose C stack has `size` bytes; returns the type
    of the exception it raised, or None."""
    raised = []

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - reported to the caller
            raised.append(type(e))
        else:
            raised.append(None)

    old = threading.stack_size(size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    return raised[0]
