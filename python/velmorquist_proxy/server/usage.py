"""Token counts read from OpenAI-style replies without parsing whole bodies
(an embeddings reply can be megabytes of numbers): the last `usage` object
is found by its name and only it is decoded."""

from __future__ import annotations

import json
import re

from velmorquist_proxy.attempt import MAX_TOKENS

# Where a `usage` object (not `"usage": null`) begins.
USAGE_OBJECT = re.compile(rb'"usage"\s*:\s*\{')
_DECODER = json.JSONDecoder()


def read_usage(data: bytes) -> tuple[int, int] | None:
    """(input, output) tokens of the last `usage` object in `data`, or None."""
    at = data.rfind(b'"usage"')
    if at < 0:
        return None
    match = USAGE_OBJECT.match(data, at)
    if match is None:
        return None
    # The object may hold objects of its own (`prompt_tokens_details`);
    # the decoder stops at its end.
    try:
        usage, _ = _DECODER.raw_decode(data[match.end() - 1:].decode("utf-8", "replace"))
    except ValueError:
        return None
    prompt = _count(usage.get("prompt_tokens"))
    completion = _count(usage.get("completion_tokens"))
    if prompt is None and completion is None:
        total = _count(usage.get("total_tokens"))
        return None if total is None else (total, 0)
    return prompt or 0, completion or 0


def _count(value) -> int | None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        return None
    return min(value, MAX_TOKENS)   # an upstream's absurd count must not fail the request
