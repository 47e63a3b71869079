"""Every length and count argument is converted the same way: any object with
``__index__`` (an int, a bool, a numpy integer) is accepted; a negative or too
large value is the interpreter's OverflowError and anything else a TypeError,
each naming the argument."""

from __future__ import annotations

import numpy as np
import pytest

from velmora._secure import EntropyPool, SecretBox

KEY = SecretBox.from_bytes(b"k" * 32)

# name -> (call taking the value, the name of the argument)
CALLS = {
    "SecretBox.random": (lambda v: SecretBox.random(v), "length"),
    "hkdf_sha256": (lambda v: KEY.hkdf_sha256(info=b"i", length=v), "length"),
    "EntropyPool.random": (lambda v: EntropyPool().random(v), "n"),
    "EntropyPool.random_secret": (lambda v: EntropyPool().random_secret(v), "n"),
}


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


ACCEPTED = {
    "int": 16, "numpy-int64": np.int64(16), "numpy-uint8": np.uint8(16),
    "numpy-intp": np.intp(16), "__index__": Index(16),
}


@pytest.mark.parametrize("value", ACCEPTED.values(), ids=ACCEPTED.keys())
@pytest.mark.parametrize("call", CALLS.keys())
def test_any_integer_like_value_is_taken(call, value):
    assert len(CALLS[call][0](value)) == 16


REFUSED = {
    "negative-int": (-1, OverflowError, "can't convert negative int to unsigned"),
    "negative-numpy": (np.int64(-1), OverflowError, "can't convert negative int to unsigned"),
    "too-big": (2**64, OverflowError, "int too big to convert"),
    "too-big-index": (Index(2**64), OverflowError, "int too big to convert"),
    "float": (16.0, TypeError, "'float' object cannot be interpreted as an integer"),
    "numpy-float": (np.float64(16), TypeError,
                    "'numpy.float64' object cannot be interpreted as an integer"),
    "str": ("16", TypeError, "'str' object cannot be interpreted as an integer"),
    "none": (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
}


@pytest.mark.parametrize(("value", "exc", "text"), REFUSED.values(), ids=REFUSED.keys())
@pytest.mark.parametrize("call", CALLS.keys())
def test_every_refusal_is_the_same_and_names_the_argument(call, value, exc, text):
    fn, name = CALLS[call]
    with pytest.raises(exc) as caught:
        fn(value)
    assert type(caught.value) is exc
    assert str(caught.value) == f"argument '{name}': {text}"


def test_an_index_method_that_raises_is_not_hidden():
    class Broken:
        def __index__(self):
            raise ValueError("no index today")

    for fn, _ in CALLS.values():
        with pytest.raises(ValueError, match="no index today"):
            fn(Broken())
