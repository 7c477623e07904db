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
# bucket would have been full anyway. So does a damaged one (a field that is
# no number, not finite, a negative level or a refill in the future), which
# every lease would otherwise keep alive and stuck.
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
local function finite(x) return x ~= nil and x == x and x > -math.huge and x < math.huge end
if not (finite(level) and finite(last)) or level < 0 or last > now then
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

# A key's switch (KEYS[1] its entry): sets it and tells every host; with
# ARGV[5] = 1 only where no host has switched it (what a host held all
# along, told again). ARGV ms to live, value, channel, message, only if
# missing. Returns 1 when it was set.
SWITCH = """
if ARGV[5] == '1' and redis.call('EXISTS', KEYS[1]) == 1 then
  return 0
end
redis.call('SET', KEYS[1], ARGV[2], 'PX', ARGV[1])
redis.call('PUBLISH', ARGV[3], ARGV[4])
return 1
"""

# A host says it is alive; answers how many are, and 1 when it was not
# among them (new, long silent, or the fleet lost its entries). KEYS[1] the
# hosts zset; ARGV host id, alive window ms, ttl ms. A value of another type
# or a heartbeat from the future is no host: removed.
HEARTBEAT = """
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
if redis.call('TYPE', KEYS[1]).ok ~= 'zset' then
  redis.call('DEL', KEYS[1])
end
local added = redis.call('ZADD', KEYS[1], now, ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now - tonumber(ARGV[2]))
redis.call('ZREMRANGEBYSCORE', KEYS[1], '(' .. now + tonumber(ARGV[2]), '+inf')
redis.call('PEXPIRE', KEYS[1], ARGV[3])
return {redis.call('ZCARD', KEYS[1]), added}
"""

# Hosts sharing a namespace must share the secret and each provider's
# limits: a host with another secret would count the fleet's hosts but
# keep buckets of its own, one with other limits would drain the shared
# bucket at its own rate. KEYS[1] the namespace check, KEYS[2] the limits
# hash; ARGV the check, ttl ms, then pairs of provider hash and limits hash.
# Returns {'secret'} or the providers whose limits disagree; on agreement
# the entries are (re)claimed for another ttl. An entry of another type is
# no claim: replaced.
CONFIG = """
if redis.call('TYPE', KEYS[1]).ok ~= 'string' then redis.call('DEL', KEYS[1]) end
if redis.call('TYPE', KEYS[2]).ok ~= 'hash' then redis.call('DEL', KEYS[2]) end
local check = redis.call('GET', KEYS[1])
if check and check ~= ARGV[1] then
  return {'secret'}
end
local disagree = {}
for i = 3, #ARGV, 2 do
  local limits = redis.call('HGET', KEYS[2], ARGV[i])
  if limits and limits ~= ARGV[i + 1] then
    table.insert(disagree, ARGV[i])
  end
end
if #disagree > 0 then
  return disagree
end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
for i = 3, #ARGV, 2 do
  redis.call('HSET', KEYS[2], ARGV[i], ARGV[i + 1])
end
redis.call('PEXPIRE', KEYS[2], ARGV[2])
return {}
"""


class Scripts:
    """The scripts registered on one client."""

    def __init__(self, client):
        self.lease = client.register_script(LEASE)
        self.deadline = client.register_script(DEADLINE)
        self.switch = client.register_script(SWITCH)
        self.heartbeat = client.register_script(HEARTBEAT)
        self.config = client.register_script(CONFIG)
