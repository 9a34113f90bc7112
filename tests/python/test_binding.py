"""Every listed call's outcome, and what a table of calls cannot show:
causes kept through a conversion, and access to an instance from inside a
conversion of its own call."""
import pytest

from calls import CALLS, M
from conftest import outcome
from kestrix import KestrixMatrix, KestrixSolver


@pytest.mark.parametrize("name", sorted(CALLS))
def test_every_call_has_its_outcome(name, capfd):
    call = CALLS[name]
    assert outcome(call.run) == call.outcome
    if call.outcome[0] == "raise":
        try:
            call.run()
        except BaseException as e:
            assert e.__cause__ is None
    capfd.readouterr()


def test_rewrapped_type_error_keeps_the_original_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner
    with pytest.raises(TypeError) as info:
        KestrixMatrix([Bad()], 1, 1)
    assert str(info.value) == "argument 'data': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_nested_access_conflicts():
    s = KestrixSolver(0.1, 1)
    s.fit(M, [1.0])
    before, seen, nested = s.predict(M), [], []

    class Predicting:
        def __float__(self):
            s.predict(M)
            return 1.0

    class Refitting:
        def __float__(self):
            try:
                s.fit(M, [1.0])
            except RuntimeError as e:
                seen.append(str(e))
            return 1.0

    class Reading:
        def __float__(self):
            nested.append(M.to_list())
            return 1.0
    with pytest.raises(RuntimeError) as info:
        s.fit(M, [Predicting()])
    assert type(info.value) is RuntimeError and str(info.value) == "Already mutably borrowed"
    assert s.predict(M) == before
    s.fit(M, [Refitting()])
    assert seen == ["Already borrowed"]
    # Nested shared access to a matrix always works, even on the receiver itself.
    assert M.add(Reading()).to_list() == [2.0, 3.0] and nested == [[1.0, 2.0]]
