"""The OpenAI-compatible proxy server (`velmorquist-proxy serve`): a thin
aiohttp layer over `Gateway`. Needs the `server` extra (aiohttp, and
uvloop and prometheus_client)."""
