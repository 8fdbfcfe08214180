"""A small MaxMind DB writer for the loader's tests: a search tree of 24-,
28- or 32-bit records over IPv4 or IPv6, MaxMind's IPv4 aliases in an IPv6
tree, and a data section of every type the format has.  Written from the
format's published description; the tests read its files back through
MaxMind's own reader as well.

    write_mmdb(path, [(ipaddress network, data), ...], ip_version=6,
               record_size=28, aliases=True)

Networks must not overlap.  Data values: dict (map), list (array), str,
bytes, bool, float (double), Float32 (float), Int32, UInt16, UInt32,
UInt64, UInt128, or a plain int (the smallest unsigned type that holds it).
"""

import ipaddress
import struct


class Float32(float):
    pass


class Int32(int):
    pass


class UInt16(int):
    pass


class UInt32(int):
    pass


class UInt64(int):
    pass


class UInt128(int):
    pass


def _control(kind, size):
    """The control bytes of a field of `kind` and `size`."""
    if size < 29:
        head, extra = size, b""
    elif size < 285:
        head, extra = 29, bytes([size - 29])
    elif size < 65821:
        head, extra = 30, (size - 285).to_bytes(2, "big")
    else:
        head, extra = 31, (size - 65821).to_bytes(3, "big")
    if kind <= 7:
        return bytes([kind << 5 | head]) + extra
    return bytes([head, kind - 7]) + extra


def _uint(kind, value):
    raw = value.to_bytes((value.bit_length() + 7) // 8, "big") if value else b""
    return _control(kind, len(raw)) + raw


def encode(value):
    if isinstance(value, bool):
        return _control(14, int(value))
    if isinstance(value, dict):
        out = _control(7, len(value))
        for k, v in value.items():
            out += encode(str(k)) + encode(v)
        return out
    if isinstance(value, list):
        return _control(11, len(value)) + b"".join(encode(v) for v in value)
    if isinstance(value, str):
        raw = value.encode()
        return _control(2, len(raw)) + raw
    if isinstance(value, bytes):
        return _control(4, len(value)) + value
    if isinstance(value, Float32):
        return _control(15, 4) + struct.pack(">f", value)
    if isinstance(value, float):
        return _control(3, 8) + struct.pack(">d", value)
    if isinstance(value, Int32):
        raw = struct.pack(">i", value)
        return _control(8, 4) + raw
    for cls, kind in ((UInt16, 5), (UInt32, 6), (UInt64, 9), (UInt128, 10)):
        if isinstance(value, cls):
            return _uint(kind, value)
    if isinstance(value, int):
        kind = 5 if value < 2 ** 16 else 6 if value < 2 ** 32 else 9 if value < 2 ** 64 else 10
        return _uint(kind, value)
    raise TypeError(value)


class _Node:
    __slots__ = ("kids", "number")

    def __init__(self):
        self.kids = [None, None]  # None (empty), a _Node, or ("data", offset)
        self.number = None


def _bits(network, width):
    value = int(network.network_address)
    if network.version == 4 and width == 128:
        return [0] * 96 + [(value >> (31 - i)) & 1 for i in range(network.prefixlen)]
    n = network.max_prefixlen
    return [(value >> (n - 1 - i)) & 1 for i in range(network.prefixlen)]


def _path(root, bits):
    """The node at the end of `bits` but the last, made as needed."""
    node = root
    for b in bits[:-1]:
        if not isinstance(node.kids[b], _Node):
            node.kids[b] = _Node()
        node = node.kids[b]
    return node


def write_mmdb(path, entries, ip_version=6, record_size=28, aliases=True, database_type="Test-DB"):
    width = 128 if ip_version == 6 else 32
    data, offsets = b"", {}
    root = _Node()
    for network, value in entries:
        blob = encode(value)
        if blob not in offsets:  # equal records are stored once, as MaxMind's writer does
            offsets[blob] = len(data)
            data += blob
        bits = _bits(network, width)
        if not bits:
            raise ValueError("a /0 has no place in a search tree")
        _path(root, bits).kids[bits[-1]] = ("data", offsets[blob])
    if ip_version == 6 and aliases:
        v4 = _path(root, [0] * 97)  # the node at ::/96
        for alias in ("::ffff:0:0/96", "2001::/32", "2002::/16"):
            bits = _bits(ipaddress.ip_network(alias), width)
            _path(root, bits).kids[bits[-1]] = ("alias", v4)
    # Number the nodes breadth first.
    order, queue = [], [root]
    while queue:
        node = queue.pop(0)
        node.number = len(order)
        order.append(node)
        queue += [k for k in node.kids if isinstance(k, _Node)]
    count = len(order)

    def record(kid):
        if kid is None:
            return count
        if isinstance(kid, _Node):
            return kid.number
        if kid[0] == "alias":
            return kid[1].number
        return count + 16 + kid[1]

    tree = bytearray()
    for node in order:
        left, right = record(node.kids[0]), record(node.kids[1])
        if record_size == 24:
            tree += left.to_bytes(3, "big") + right.to_bytes(3, "big")
        elif record_size == 28:
            tree += (left & 0xFFFFFF).to_bytes(3, "big") + bytes([(left >> 24) << 4 | right >> 24]) + \
                (right & 0xFFFFFF).to_bytes(3, "big")
        else:
            tree += left.to_bytes(4, "big") + right.to_bytes(4, "big")
    metadata = {"node_count": UInt32(count), "record_size": UInt16(record_size), "ip_version": UInt16(ip_version),
                "database_type": database_type, "languages": ["en"], "binary_format_major_version": UInt16(2),
                "binary_format_minor_version": UInt16(0), "build_epoch": UInt64(1700000000),
                "description": {"en": "netrove test database"}}
    with open(path, "wb") as f:
        f.write(bytes(tree) + bytes(16) + data + b"\xab\xcd\xefMaxMind.com" + encode(metadata))
