"""Router learning across a fleet: each host adds its outcomes to the
fleet's counts in Redis and feeds the other hosts' new outcomes to its own
router, as if it had seen them. Only the syncer (syncer.py) calls this,
once a second.
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
        """Pushes this host's outcomes since the last round and applies the
        other hosts' outcomes to the local router, as if seen here."""
        names = self._names
        mine = self._take_mine()
        pipe = self._client.pipeline(transaction=False)
        for p, (successes, failures) in enumerate(mine):
            key = names.learn(p)
            if successes or failures:
                pipe.hincrbyfloat(key, "s", successes)
                pipe.hincrbyfloat(key, "f", failures)
                pipe.pexpire(key, LEARN_TTL_MS)
            else:
                pipe.hmget(key, "s", "f")
        try:
            replies = iter(pipe.execute(raise_on_error=False))
        except Exception:
            self._restore_mine(mine)
            raise
        bad = []
        for p, (successes, failures) in enumerate(mine):
            if successes or failures:
                s, f, _ = next(replies), next(replies), next(replies)
            else:
                pair = next(replies)
                s, f = pair if isinstance(pair, list) else (pair, pair)
            total = _counts(s, f)
            if total is None:
                # Damaged (text, NaN, another type): this provider's counts
                # start again, the others go on.
                bad.append(names.learn(p))
                self._learned[p] = None
                continue
            self._apply_learned(p, total, successes, failures)
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
        """[successes, failures] per provider of this host since the last
        round, with what a failed round could not send."""
        mine = [list(counts) for counts in self._region.fleet_take_outcomes()]
        if self._unsent is not None:
            for counts, unsent in zip(mine, self._unsent):
                counts[0] += unsent[0]
                counts[1] += unsent[1]
            self._unsent = None
        return mine

    def _restore_mine(self, mine) -> None:
        """What _take_mine gave, kept for the next round (Redis failed)."""
        self._unsent = mine

    def _apply_learned(self, p, total, successes, failures) -> None:
        seen = self._learned[p]
        self._learned[p] = total
        if seen is None:
            return
        others_s = round(total[0] - seen[0] - successes)
        others_f = round(total[1] - seen[1] - failures)
        if others_s < 0 or others_f < 0:
            return   # Redis lost the counts: they start again from here
        self._state.apply_outcomes(p, others_s, others_f, self._memory)


def _counts(successes, failures) -> tuple[float, float] | None:
    """(successes, failures) read from Redis; None when either is damaged."""
    try:
        total = (float(successes or 0.0), float(failures or 0.0))
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
