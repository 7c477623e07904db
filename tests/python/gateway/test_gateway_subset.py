"""A request limited to some providers (a server's model route) and the
time until one of them is usable."""

import asyncio
import math

import pytest

from gateway_helpers import Script, make_gateway, provider, request
from velmorquist_proxy import AllProvidersFailed


def test_a_request_uses_only_the_providers_it_names_and_waits_for_them():
    gateway = make_gateway(provider("alpha", threshold=1), provider("bravo", threshold=1),
                           provider("charlie", threshold=1), max_retries=0)
    subset = ("bravo", "charlie")
    script = Script(bravo=[500])
    request(gateway, script, providers=subset)
    assert [name for name, _ in script.calls] == ["bravo", "charlie"]
    # alpha is the best and ready, but not in the route: bravo's trip decides.
    script = Script(charlie=[500])
    with pytest.raises(AllProvidersFailed) as failed:
        request(gateway, script, providers=["bravo", "charlie"])
    assert [name for name, _ in script.calls] == ["charlie"]
    assert failed.value.refusals == {"bravo": "breaker"}
    assert gateway.ready_in() == 0.0
    assert 0.0 < gateway.ready_in(subset) <= 60.0
    assert gateway.ready_in(["alpha"]) == 0.0

    async def stream_from(providers):
        async def open_upstream(attempt):
            async def chunks():
                yield attempt.provider
            return chunks()
        return [chunk async for chunk in gateway.stream(open_upstream, providers=providers)]

    assert asyncio.run(stream_from(["alpha", "charlie"])) == ["alpha"]
    with pytest.raises(AllProvidersFailed):
        asyncio.run(stream_from(subset))


@pytest.mark.parametrize("providers, error", [
    (["delta"], ValueError), ([], ValueError), ("alpha", TypeError), ([None], ValueError),
])
def test_a_subset_names_known_providers(providers, error):
    gateway = make_gateway()
    with pytest.raises(error):
        gateway.ready_in(providers)
    with pytest.raises(error):
        list(gateway.attempts(providers=providers))
    assert math.isfinite(gateway.ready_in())
