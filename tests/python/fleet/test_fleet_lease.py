"""A host's lease of a fleet bucket: what it asks for, hands back, and
admits on its share while it holds no lease."""

import pytest

from velmorquist_proxy import RateLimitConfig
from velmorquist_proxy.fleet.lease import Lease


# (held, demand per second seen, hosts, largest ask) -> (ask, hand back).
# The bucket: 100 calls a second, burst 30.
@pytest.mark.parametrize("held, demand, hosts, largest, expected", [
    (0, 0, 1, 1, (1, 0)),          # idle: one token in hand
    (0, 10, 1, 1, (15, 0)),        # 1.5 s of demand
    (10, 10, 1, 1, (0, 0)),        # enough in hand
    (0, 100, 3, 1, (10, 0)),       # never more than the bucket / live hosts
    (40, 2, 1, 1, (0, 37)),        # demand fell: the surplus goes back
    (-5, 10, 1, 1, (20, 0)),       # a debt is paid first
    (0, 0, 3, 25, (25, 0)),        # at least the largest single ask
])
def test_a_lease_follows_recent_demand_within_the_hosts_share(held, demand, hosts, largest,
                                                              expected):
    lease = Lease(RateLimitConfig(100, 1.0, 30), now=0.0, hosts=hosts)
    lease.held, lease.largest = held, largest
    # The estimate is smoothed: feed the same demand until it settles.
    for _ in range(40):
        lease.asked = demand
        result = lease.wanted(elapsed=1.0)
    assert result == expected


def test_without_a_lease_a_host_admits_its_share_and_spends_held_tokens_first():
    lease = Lease(RateLimitConfig(30, 1.0, 30), now=0.0, hosts=3)   # share: 10, 10/s
    lease.held = 2
    assert sum(lease.take(1, now=0.0) for _ in range(20)) == 12
    assert lease.ready_in(1, now=0.0) == pytest.approx(0.1)
    assert lease.take(1, now=0.1)
    lease.leased = True   # a lease arrived: the share no longer counts
    assert not lease.take(1, now=10.0)
    assert lease.ready_in(31, now=10.0) == float("inf")
