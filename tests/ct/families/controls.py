# Positive controls: each call below handles a secret in a way the check must
# report (argv[1] picks one).
import sys

import _ct_test

case = sys.argv[1]
if case == "compare":
    _ct_test.leaky_equal(b"s" * 32, b"s" * 31 + b"t")
elif case == "lookup":
    _ct_test.leaky_lookup(b"\x07" * 16)
elif case == "library":
    _ct_test.library_decode(b"c2VjcmV0LWtleS1tYXRlcmlhbA")
elif case == "mlkem":
    _ct_test.mlkem_leak()
elif case == "mlkem-verdict":
    _ct_test.mlkem_verdict_leak()
elif case == "x25519":
    _ct_test.x25519_leak()
else:
    raise SystemExit(f"unknown control {case!r}")
