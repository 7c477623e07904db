"""Guard a flaky provider with a circuit breaker and watch it trip and recover.

Run with `make demo`. The provider is simulated: it fails a stretch of calls
with realistic error messages, then recovers.
"""

import time

from velmorquist_proxy import CircuitBreaker, CircuitBreakerConfig, CircuitOpenError

OUTAGE = [
    "Status 429: Too Many Requests",
    "Request timed out after 30s",
    "Connection reset by peer",
    "502 Bad Gateway",
]


class FlakyProvider:
    """Fails its first len(OUTAGE) calls, then answers normally."""

    def __init__(self):
        self.calls = 0

    def complete(self, prompt):
        self.calls += 1
        if self.calls <= len(OUTAGE):
            raise RuntimeError(OUTAGE[self.calls - 1])
        return f"completion for {prompt!r}"


def main():
    defaults = CircuitBreaker.provider_defaults("groq")
    print(f"groq defaults: {defaults!r}, success_threshold={defaults.success_threshold}")
    # Same thresholds, but a short recovery time so the demo does not wait 30 s.
    recovery = 0.6
    config = CircuitBreakerConfig(
        defaults.provider, defaults.failure_threshold, recovery, defaults.success_threshold + 1
    )
    breaker = CircuitBreaker(config)
    provider = FlakyProvider()
    print(f"using {config!r}; breaker starts {breaker.state}\n")

    tripped = False
    for step in range(1, 40):
        try:
            breaker.allow_request()
        except CircuitOpenError as refused:
            tripped = True
            print(f"step {step:2}: refused without calling: {refused}")
            time.sleep(recovery / 3)
            continue
        state_before = breaker.state
        try:
            answer = provider.complete(f"prompt {step}")
        except RuntimeError as error:
            failure_type = CircuitBreaker.classify_error(str(error))
            breaker.record_failure(failure_type)
            print(f"step {step:2}: [{state_before:>9}] failed, {failure_type} "
                  f"({error}) -> {breaker.state}")
            continue
        breaker.record_success()
        print(f"step {step:2}: [{state_before:>9}] ok ({answer}) -> {breaker.state}")
        if tripped and breaker.state == "closed":
            break

    assert breaker.state == "closed", breaker.state
    print("\nthe breaker tripped open, refused calls, half-opened after its recovery time and closed again")


if __name__ == "__main__":
    main()
