"""A brute-force model of a RadixEngine built on the standard `ipaddress`
module: a dict of networks, longest match by trying every length, entry
queries by filtering and sorting the dict."""

import ipaddress


class Oracle:
    def __init__(self):
        self.entries = {}  # (version, network int, length) -> metadata dict

    @staticmethod
    def _key(subnet):
        net = ipaddress.ip_network(subnet, strict=False)
        return (net.version, int(net.network_address), net.prefixlen)

    def insert(self, subnet, metadata):
        self.entries[self._key(subnet)] = {"value": metadata.get("value", ""),
                                           "attributes": dict(metadata.get("attributes", {}))}

    def remove(self, subnet):
        return self.entries.pop(self._key(subnet), None) is not None

    def clear(self):
        self.entries.clear()

    def lookup(self, ip):
        addr = ipaddress.ip_address(ip)
        width = addr.max_prefixlen
        value = int(addr)
        for length in range(width, -1, -1):
            mask = ((1 << length) - 1) << (width - length)
            found = self.entries.get((addr.version, value & mask, length))
            if found is not None:
                return found
        return None

    @staticmethod
    def text(key):
        """The engine's text of an entry's prefix: network form, RFC 5952,
        IPv4-mapped addresses as ::ffff:a.b.c.d."""
        version, value, length = key
        addr = ipaddress.ip_address(value) if version == 4 else ipaddress.IPv6Address(value)
        mapped = addr.ipv4_mapped if version == 6 else None
        return f"::ffff:{mapped}/{length}" if mapped is not None else f"{addr}/{length}"

    def _inside(self, version, value, length):
        """Keys of the entries inside the network (version, value, length)."""
        shift = (32 if version == 4 else 128) - length
        return [k for k in self.entries if k[0] == version and k[2] >= length and k[1] >> shift == value >> shift]

    def _listed(self, keys):
        return [(self.text(k), self.entries[k]) for k in keys]

    def covering(self, ip):
        addr = ipaddress.ip_address(ip)
        width = addr.max_prefixlen
        keys = [k for k in self.entries if k[0] == addr.version and k[1] >> (width - k[2]) == int(addr) >> (width - k[2])]
        return self._listed(sorted(keys, key=lambda k: -k[2]))

    def match(self, ip):
        found = self.covering(ip)
        return found[0] if found else None

    def covered(self, subnet):
        return self._listed(sorted(self._inside(*self._key(subnet))))

    def get(self, subnet):
        return self.entries.get(self._key(subnet))

    def items(self):
        return self._listed(sorted(self.entries))

    def __len__(self):
        return len(self.entries)
