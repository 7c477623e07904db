"""The Lua scripts that keep each fleet-wide change atomic in Redis.

Time comes from the server's TIME, so the hosts' clocks never have to
agree. redis-py's `Script` runs them by EVALSHA and loads them again when
the server answers NOSCRIPT (after a restart or SCRIPT FLUSH).
"""

from __future__ import annotations

# A fleet token bucket: refills by server time, takes back what a host
# returns, then grants up to what it asks for (whole tokens only).
# KEYS[1] bucket; ARGV capacity, rate per microsecond, want, give back, ttl ms.
# Returns {granted, level as text}. A missing bucket starts full, as a new
# local bucket does; the TTL is its time to refill from empty, so an expired
# bucket would have been full anyway.
LEASE = """
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000000 + tonumber(t[2])
local cap = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local want = tonumber(ARGV[3])
local back = tonumber(ARGV[4])
local stored = redis.call('HMGET', KEYS[1], 'v', 't')
local level = tonumber(stored[1])
local last = tonumber(stored[2])
if level == nil or last == nil then
  level = cap
  last = now
end
if now > last then
  level = math.min(cap, level + (now - last) * rate)
  last = now
end
level = math.min(cap, level + back)
local granted = math.max(0, math.min(want, math.floor(level)))
level = level - granted
redis.call('HSET', KEYS[1], 'v', string.format('%.17g', level), 't', string.format('%.17g', last))
redis.call('PEXPIRE', KEYS[1], ARGV[5])
return {granted, string.format('%.17g', level)}
"""

# A deadline, merged by max: sets the entry only when it outlives the one
# stored, and then tells every host. KEYS[1] entry; ARGV remaining ms,
# value, channel, message. Returns 1 when it was set.
DEADLINE = """
local ms = tonumber(ARGV[1])
if redis.call('PTTL', KEYS[1]) >= ms then
  return 0
end
redis.call('SET', KEYS[1], ARGV[2], 'PX', ms)
redis.call('PUBLISH', ARGV[3], ARGV[4])
return 1
"""

# A host says it is alive; answers how many are. KEYS[1] the hosts zset;
# ARGV host id, alive window ms, ttl ms.
HEARTBEAT = """
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZADD', KEYS[1], now, ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now - tonumber(ARGV[2]))
redis.call('PEXPIRE', KEYS[1], ARGV[3])
return redis.call('ZCARD', KEYS[1])
"""


class Scripts:
    """The scripts registered on one client."""

    def __init__(self, client):
        self.lease = client.register_script(LEASE)
        self.deadline = client.register_script(DEADLINE)
        self.heartbeat = client.register_script(HEARTBEAT)
