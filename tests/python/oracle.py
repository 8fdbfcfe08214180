"""A brute-force model of a RadixEngine built on the standard `ipaddress`
module: a dict of networks, longest match by trying every length."""

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

    def __len__(self):
        return len(self.entries)
