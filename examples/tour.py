"""A short tour of velmora._secure: boxes, comparison, wiping, and what the
locked memory can guarantee on this machine."""

from velmora import _secure as secure


COUNTERS = ("live_secrets", "unlocked_allocations", "last_lock_errno")


def show_status(title: str, keys=None) -> None:
    status = secure.memory_status()
    print(f"\n{title}")
    shown = {k: v for k, v in status.items() if keys is None or k in keys}
    width = max(len(k) for k in shown)
    for key, value in shown.items():
        print(f"  {key:<{width}}  {value}")


def main() -> None:
    print(f"velmora._secure {secure.__version__}")
    show_status("Before any secret exists:")

    key = secure.SecretBox.random(32)
    print(f"\nA fresh random key:        {key!r}")

    source = bytearray(b"correct horse battery staple")
    copied = secure.SecretBox.from_bytes(source)
    print(f"Copied from a bytearray:   {copied!r}")
    print(f"  the bytearray afterwards: {bytes(source)!r}  (zeroed for you)")

    twin = copied.clone()
    print(f"\nclone() == original:       {twin == copied}")
    print(f"random key == copied:      {key == copied}")

    copied.wipe()
    print(f"\nAfter wipe():              {copied!r}")
    try:
        copied.reveal()
    except secure.SecureError as err:
        print(f"  reveal() refuses:        {err}")
    print(f"  the clone still holds:   {bytes(twin.reveal())!r}")

    show_status("With three boxes alive (one of them wiped):", COUNTERS)
    del key, copied, twin
    show_status("After the boxes are released:", COUNTERS)


if __name__ == "__main__":
    main()
