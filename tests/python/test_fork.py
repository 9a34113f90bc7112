"""fork() after the pool exists: the child gets a pool of its own, the parent
keeps its pool. Every wait has a timeout, so a hang fails instead of blocking."""
import textwrap

from conftest import FORK_WITH_THREADS

pytestmark = FORK_WITH_THREADS

PRELUDE = textwrap.dedent("""
    import multiprocessing, os, signal, time
    import kestrix
    from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic

    def threads():
        return len(os.listdir('/proc/self/task'))

    def failure():
        try:
            KestrixSolver(0.1, 1).predict(KestrixMatrix([1.0], 1, 1))
        except BaseException as e:
            return e.args

    def numeric():
        m = KestrixMatrix([float(k) for k in range(64)], 8, 8)
        s = KestrixSolver(0.5, 1)
        s.fit(KestrixMatrix([1.0, 2.0], 1, 2), [3.0])
        return (sum(m.matmul(m).to_list()), m.add(1.0).to_list()[-1], m.transpose().shape(),
                s.predict(KestrixMatrix([1.0, 1.0], 1, 2)), run_heavy_logic([0.5, 0.25], 0))

    def wait_child(pid, seconds=30):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return 'hung'
""")


def forked(code_in_child, before_fork="numeric()"):
    return PRELUDE + textwrap.dedent(f"""
        {before_fork}
        parent_threads = threads()
        os.environ['RAYON_NUM_THREADS'] = '1'     # must not be read again by the child
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)
            os.close(read)
            {code_in_child}
            os.write(write, repr(out).encode())
            os._exit(0)
        os.close(write)
        status = wait_child(pid)
        reply = os.read(read, 65536).decode()
        ok = numeric() == numeric()
        print(repr((status, reply, parent_threads, threads(), ok)))
    """)


def test_child_recreates_the_pool_with_the_parents_count(run_child):
    child = "out = (threads(), failure(), numeric(), threads())"
    status, reply, parent_before, parent_after, parent_ok = eval(
        run_child(forked(child), env={"RAYON_NUM_THREADS": "3"}).stdout)
    assert status == 0, f"child ended with {status}"
    before, failed, result, after = eval(reply)
    # Only the forking thread survives fork(); the first numeric call starts
    # the parent's three workers again, not the one the environment now says.
    assert (parent_before, before, after) == (4, 1, 4)
    assert failed == ("index out of bounds: the len is 0 but the index is 0",)
    assert parent_after == 4 and parent_ok
    assert result == eval(run_child(PRELUDE + "print(repr(numeric()))").stdout)


def test_fork_before_the_pool_exists_reads_the_environment_in_the_child(run_child):
    child = "out = (threads(), numeric(), threads())"
    status, reply, parent_before, parent_after, _ = eval(
        run_child(forked(child, before_fork="pass"), env={"RAYON_NUM_THREADS": "3"}).stdout)
    assert status == 0
    before, _, after = eval(reply)
    # Without a pool to inherit, each process makes its own from the
    # environment it has at its first numeric call, which now says one worker.
    assert (parent_before, before, after, parent_after) == (1, 1, 2, 2)


def test_child_forked_from_a_child_still_works(run_child):
    # The count carries over through any number of forks.
    child = textwrap.dedent("""
            numeric()
            r2, w2 = os.pipe()
            pid2 = os.fork()
            if pid2 == 0:
                signal.alarm(20)
                os.write(w2, repr((numeric()[0], threads())).encode())
                os._exit(0)
            os.close(w2)
            out = (wait_child(pid2), os.read(r2, 1000).decode())""")
    child = child.replace("\n", "\n            ")
    status, reply, *_ = eval(run_child(forked(child), env={"RAYON_NUM_THREADS": "2"}).stdout)
    assert status == 0
    grand_status, grand = eval(reply)
    assert grand_status == 0 and eval(grand)[1] == 3


def test_multiprocessing_with_the_fork_start_method(run_child):
    code = PRELUDE + textwrap.dedent("""
        def task(k):
            return numeric(), threads()

        def report(conn):
            conn.send((numeric(), threads()))
            conn.close()

        if __name__ == '__main__':
            expected = numeric()
            ctx = multiprocessing.get_context('fork')
            with ctx.Pool(2) as pool:
                results = pool.map_async(task, range(6)).get(timeout=60)
            parent, child = ctx.Pipe()
            p = ctx.Process(target=report, args=(child,))
            p.start()
            got = parent.recv() if parent.poll(60) else None
            p.join(30)
            print(repr((expected, results, got, p.exitcode, threads(), numeric() == expected)))
    """)
    expected, results, got, exitcode, parent_threads, parent_ok = eval(
        run_child(code, env={"RAYON_NUM_THREADS": "3"}).stdout)
    assert all(r == (expected, 4) for r in results)
    assert got == (expected, 4) and exitcode == 0
    assert parent_ok and parent_threads >= 4
