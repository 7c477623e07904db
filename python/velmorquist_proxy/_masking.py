"""Key texts as they may appear anywhere outside the request path."""

from __future__ import annotations

from velmorquist_proxy._native import KeyPool


def mask_key(key: str) -> str:
    """The key as `KeySummary.key_masked` shows it (the pool's own rule)."""
    pool = KeyPool()
    pool.add_key(key)
    return pool.list_keys()[0].key_masked


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
