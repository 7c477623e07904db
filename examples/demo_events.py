"""What the demo keeps of the gateway's events, for its progress and report."""

import collections
import threading
import time

# Events that make up a provider's breaker story in the report.
TIMELINE_KINDS = frozenset({"breaker", "trial", "posterior_reset"})


class EventLog:
    """Tallies of the gateway's events, and each provider's breaker timeline."""

    def __init__(self):
        self._lock = threading.Lock()
        self._started = time.monotonic()
        self.failures = collections.defaultdict(collections.Counter)   # provider -> kind -> n
        self.trips = collections.Counter()                             # provider -> n
        self.cooled = collections.Counter()                            # (provider, key) -> n
        self.retry_waits = 0
        self.timelines = collections.defaultdict(list)   # provider -> [(seconds, what)]
        self._closed_at = {}                              # provider -> monotonic time

    def start(self, started):
        """Times in the timelines count from here."""
        self._started = started

    def record(self, event):
        now = time.monotonic()
        with self._lock:
            kind, provider = event.kind, event.provider
            if kind == "attempt_failed":
                self.failures[provider][event.detail["kind"]] += 1
            elif kind == "key_cooled":
                self.cooled[provider, event.masked_key] += 1
            elif kind == "retry_wait":
                self.retry_waits += 1
            if kind not in TIMELINE_KINDS:
                return
            what = event.detail.get("state", kind.replace("_", " "))
            self.timelines[provider].append((now - self._started, what))
            if what == "open":
                self.trips[provider] += 1
            elif what == "closed":
                self._closed_at[provider] = now

    def closed_at(self, provider):
        """When the provider's breaker last closed again (monotonic), or None."""
        with self._lock:
            return self._closed_at.get(provider)
