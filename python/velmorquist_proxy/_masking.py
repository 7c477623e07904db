"""Key texts as they may appear anywhere outside the request path."""

from __future__ import annotations

from velmorquist_proxy._native import KeyPool


# KeyPool shows 4 characters at each end of a key of 9 or more; below this
# length that would be more than a third of the key.
_SHORTEST_POOL_MASKED = 24


def mask_key(key: str) -> str:
    """The key as `KeySummary.key_masked` shows it, but never more than a
    third of it: a short key shows fewer characters at each end."""
    if len(key) >= _SHORTEST_POOL_MASKED:
        pool = KeyPool()
        pool.add_key(key)
        return pool.list_keys()[0].key_masked
    edge = len(key) // 6
    if len(key) < 9 or edge == 0:
        return "***"
    return f"{key[:edge]}...{key[-edge:]}"


def key_masker(keys: tuple[str, ...]):
    """A function that replaces every occurrence of these keys in a text by
    its masked form. Longer keys go first, so a key that contains another
    is masked whole."""
    pairs = [(key, mask_key(key)) for key in sorted(keys, key=len, reverse=True) if key]

    def mask(text: str) -> str:
        for key, masked in pairs:
            if key in text:
                text = text.replace(key, masked)
        return text

    return mask
