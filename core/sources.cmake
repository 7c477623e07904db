# The core library's sources by layer (base, policy, region), listed once for
# the main build and the fuzz build.
# Listed rather than globbed: a new or renamed file is a visible change here.
set(VELMORQUIST_CORE_SOURCE_NAMES
  base/access_line.cpp
  base/chacha.cpp
  base/chacha_block.cpp
  base/clock.cpp
  base/error.cpp
  base/format.cpp
  base/json_scan.cpp
  base/reply_usage.cpp
  base/random.cpp
  policy/circuit_breaker.cpp
  policy/classify_error.cpp
  policy/fleet_lease.cpp
  policy/key_map.cpp
  policy/key_pool.cpp
  policy/key_record.cpp
  policy/key_strategies.cpp
  policy/provider_profile.cpp
  policy/rate_limiter.cpp
  policy/retry.cpp
  policy/stream_stats.cpp
  policy/thompson_router.cpp
  region/bus_guard.cpp
  region/file_io.cpp
  region/fork_guard.cpp
  region/region_file.cpp
  region/region_secret.cpp
  region/robust_mutex.cpp
  region/shared_state.cpp
  region/shared_state_fleet.cpp
  region/shared_state_stream.cpp
  region/state_build.cpp
  region/state_keys.cpp
  region/state_repair.cpp
)
