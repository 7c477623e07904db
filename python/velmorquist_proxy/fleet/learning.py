"""Router learning across a fleet: each host adds its outcomes and measured
latencies to the fleet's counts in Redis and feeds the other hosts' new
ones to its own router, as if it had seen them. Only the syncer (syncer.py)
calls this, once a second.
"""

from __future__ import annotations

import logging
import math

logger = logging.getLogger("velmorquist_proxy")

LEARN_TTL_MS = 3600 * 1000


class Learning:
    """One host's trade of outcomes with the fleet."""

    def __init__(self, client, names, state, decay: float):
        self._client = client
        self._names = names
        self._state = state
        self._region = state.region
        self._memory = _memory(decay)
        self._learned: list[tuple[float, float] | None] = [None] * len(names.providers)
        self._unsent: list | None = None
        self._bad: set = set()

    def start_again(self) -> None:
        """Forgets the fleet's counts seen so far (a new syncer, a forked
        child): the next trade only reads them."""
        self._learned = [None] * len(self._learned)
        self._unsent = None

    def trade(self) -> None:
        """Pushes this host's outcomes and measured latencies since the last
        round and applies the other hosts' to the local router, as if seen here."""
        names = self._names
        mine = self._take_mine()
        pipe = self._client.pipeline(transaction=False)
        for p, counts in enumerate(mine):
            key = names.learn(p)
            if any(counts):
                for field, count in zip(_LEARN_FIELDS, counts):
                    pipe.hincrbyfloat(key, field, count)
                pipe.pexpire(key, LEARN_TTL_MS)
            else:
                pipe.hmget(key, *_LEARN_FIELDS)
        try:
            replies = iter(pipe.execute(raise_on_error=False))
        except Exception:
            self._restore_mine(mine)
            raise
        bad = []
        for p, counts in enumerate(mine):
            if any(counts):
                read = [next(replies) for _ in _LEARN_FIELDS]
                next(replies)
            else:
                read = next(replies)
                if not isinstance(read, list):
                    read = [read] * len(_LEARN_FIELDS)
            total = _counts(read)
            if total is None:
                # Damaged (text, NaN, another type): this provider's counts
                # start again, the others go on.
                bad.append(names.learn(p))
                self._learned[p] = None
                continue
            self._apply_learned(p, total, counts)
        if bad:
            self._drop_bad(bad)

    def _drop_bad(self, bad: list) -> None:
        for key in bad:
            if key not in self._bad:
                self._bad.add(key)
                logger.warning("fleet: the learning counts %s were damaged; they start again",
                               key)
        self._client.delete(*bad)

    def _take_mine(self) -> list:
        """[successes, failures, latency sum ms, latencies] per provider of
        this host since the last round, with what a failed round could not send."""
        region = self._region
        mine = [[*outcomes, *latencies] for outcomes, latencies
                in zip(region.fleet_take_outcomes(), region.fleet_take_latencies())]
        if self._unsent is not None:
            for counts, unsent in zip(mine, self._unsent):
                for i, count in enumerate(unsent):
                    counts[i] += count
            self._unsent = None
        return mine

    def _restore_mine(self, mine) -> None:
        """What _take_mine gave, kept for the next round (Redis failed)."""
        self._unsent = mine

    def _apply_learned(self, p, total, mine) -> None:
        seen = self._learned[p]
        self._learned[p] = total
        if seen is None:
            return
        others = [t - s - m for t, s, m in zip(total, seen, mine)]
        others_s, others_f, others_n = round(others[0]), round(others[1]), round(others[3])
        if min(others_s, others_f, others_n) < 0 or others[2] < -1e-6:
            return   # Redis lost the counts: they start again from here
        self._state.apply_outcomes(p, others_s, others_f, self._memory)
        if others_n:
            self._state.absorb_latency(p, max(0.0, others[2]) / others_n,
                                       min(others_n, self._memory))


# The fleet's learning per provider: successes, failures, and the sum and
# count of measured latencies.
_LEARN_FIELDS = ("s", "f", "ls", "ln")


def _counts(read) -> tuple[float, ...] | None:
    """The learning fields read from Redis; None when any is damaged."""
    try:
        total = tuple(float(value or 0.0) for value in read)
    except (TypeError, ValueError):
        return None
    if not all(math.isfinite(count) and count >= 0.0 for count in total):
        return None
    return total


def _memory(decay: float) -> int:
    """Outcomes that still weigh at least 1% in a posterior decayed by
    `decay` per outcome: older ones are not worth applying."""
    if 0.0 < decay < 1.0:
        return max(1, math.ceil(math.log(0.01) / math.log(decay)))
    return 100
