# The core library's sources, listed once for the main build and the fuzz build.
# Listed rather than globbed: a new or renamed file is a visible change here.
set(VELMORQUIST_CORE_SOURCE_NAMES
  chacha.cpp
  chacha_block.cpp
  circuit_breaker.cpp
  classify_error.cpp
  clock.cpp
  error.cpp
  fleet_lease.cpp
  fork_guard.cpp
  format.cpp
  key_map.cpp
  key_pool.cpp
  key_record.cpp
  key_strategies.cpp
  provider_profile.cpp
  random.cpp
  rate_limiter.cpp
  region_file.cpp
  retry.cpp
  robust_mutex.cpp
  shared_state.cpp
  shared_state_fleet.cpp
  shared_state_stream.cpp
  stream_stats.cpp
  thompson_router.cpp
)
