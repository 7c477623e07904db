"""Texts handed back to Python, through each of the ways a result str is built."""

import pytest

KEYS = [
    "k",                                  # one character: the interpreter's shared str
    "é",
    "sk",
    "sk-0123456789abcdef0123456789abcdef0123",
    "ключ-0123456789",                    # multi-byte UTF-8
    "sk-" + "a" * 125,                    # 128 bytes: the longest copied inline
    "sk-" + "b" * 126,                    # 129 bytes: copied through the heap
    "sk-" + "ü" * 200,
    "emoji-\U0001F511-key",
]


@pytest.mark.parametrize("key", KEYS)
def test_selected_key_is_an_equal_str(native, key):
    pool = native.KeyPool("round_robin")
    pool.add_key(key)
    for _ in range(3):
        selected = pool.select_key()
        assert type(selected) is str
        assert selected == key
        assert selected.isascii() == key.isascii()


def test_keys_of_every_length_round_trip(native):
    pool = native.KeyPool("round_robin")
    keys = ["x" * n for n in range(1, 140)] + ["é" * n for n in range(1, 70)]
    for key in keys:
        pool.add_key(key)
    assert [pool.select_key() for _ in keys] == keys


def test_provider_ids_and_failure_types(native):
    router = native.ThompsonRouter()
    router.add_provider(native.ProviderProfile("ß-provider", 0.01, 0.9, 100.0))
    assert router.select().provider_id == "ß-provider"
    assert native.CircuitBreaker.classify_error("HTTP 429") == "rate_limit"
