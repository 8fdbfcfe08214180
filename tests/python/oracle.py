"""A brute-force model of a RadixEngine built on the standard `ipaddress`
module: a dict of networks, longest match by trying every length, entry
queries by filtering and sorting the dict; and the counters of stats(),
with the lookup cache of the named variants modelled as a set of the
addresses answered since the last write that covered them."""

import ipaddress

CACHE_LIMIT = 10_000  # answers a cached variant keeps; the tests stay below it


class Oracle:
    def __init__(self, cached=False):
        self.entries = {}  # (version, network int, length) -> metadata dict
        self.cached = cached
        self.reset_counters()

    def reset_counters(self):
        self.cache = set()  # (version, address int) answered and not dropped since
        self.counts = dict.fromkeys(("inserts", "lookups", "hits", "misses", "removals"), 0)

    @staticmethod
    def key(subnet):
        net = ipaddress.ip_network(subnet, strict=False)
        return (net.version, int(net.network_address), net.prefixlen)

    def _drop(self, key):
        """A write of `key` drops the cached answers inside it."""
        version, value, length = key
        shift = (32 if version == 4 else 128) - length
        self.cache = {a for a in self.cache if a[0] != version or a[1] >> shift != value >> shift}

    def insert(self, subnet, metadata):
        key = self.key(subnet)
        self.entries[key] = {"value": metadata.get("value", ""), "attributes": dict(metadata.get("attributes", {}))}
        self.counts["inserts"] += 1
        self._drop(key)

    def remove(self, subnet):
        key = self.key(subnet)
        found = self.entries.pop(key, None) is not None
        self.counts["removals"] += found
        self._drop(key)
        return found

    def clear(self):
        self.entries.clear()
        self.cache.clear()

    def _longest(self, addr):
        width, value = addr.max_prefixlen, int(addr)
        for length in range(width, -1, -1):
            found = self.entries.get((addr.version, value >> (width - length) << (width - length), length))
            if found is not None:
                return found
        return None

    def lookup(self, ip):
        """lookup/contains: the answer, counted as the engine counts it."""
        addr = ipaddress.ip_address(ip)
        found = self._longest(addr)
        if not (self.cached and (addr.version, int(addr)) in self.cache):
            self.counts["lookups"] += 1
            self.counts["hits" if found is not None else "misses"] += 1
            if self.cached:
                self.cache.add((addr.version, int(addr)))
        return found

    def stats(self):
        return {"size": len(self.entries), **self.counts}

    @staticmethod
    def text(key):
        """The engine's text of an entry's prefix: network form, RFC 5952,
        IPv4-mapped addresses as ::ffff:a.b.c.d."""
        version, value, length = key
        addr = ipaddress.IPv4Address(value) if version == 4 else ipaddress.IPv6Address(value)
        mapped = addr.ipv4_mapped if version == 6 else None
        return f"::ffff:{mapped}/{length}" if mapped is not None else f"{addr}/{length}"

    def _listed(self, keys):
        return [(self.text(k), self.entries[k]) for k in keys]

    def covering(self, ip, shorter_only=False):
        """Entries covering an address text, or all of a prefix text (those
        no longer than it containing its network; with `shorter_only`,
        strictly shorter), longest first."""
        if "/" in ip:
            version, value, length = self.key(ip)
            width = 32 if version == 4 else 128
            longest = length - 1 if shorter_only else length
        else:
            addr = ipaddress.ip_address(ip)
            version, value, width = addr.version, int(addr), addr.max_prefixlen
            longest = width
        keys = [k for k in self.entries
                if k[0] == version and k[2] <= longest and k[1] >> (width - k[2]) == value >> (width - k[2])]
        return self._listed(sorted(keys, key=lambda k: -k[2]))

    def match(self, ip):
        found = self.covering(ip)
        return found[0] if found else None

    def parent(self, subnet):
        found = self.covering(subnet if "/" in subnet else subnet + ("/32" if ":" not in subnet else "/128"), True)
        return found[0] if found else None

    def covered(self, subnet):
        version, value, length = self.key(subnet)
        shift = (32 if version == 4 else 128) - length
        return self._listed(sorted(k for k in self.entries
                                   if k[0] == version and k[2] >= length and k[1] >> shift == value >> shift))

    def get(self, subnet):
        return self.entries.get(self.key(subnet))

    def items(self):
        return self._listed(sorted(self.entries))

    def __len__(self):
        return len(self.entries)
