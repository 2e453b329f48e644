#!/usr/bin/env python3
# Writes engine/formats/unity/UnityLayouts.inc: the class layouts of Unity
# player builds by engine version, for serialized files that hold no type
# trees (every player build). The input is a dump of each version's own type
# information: {"versions": {version: {class ID: layout key}},
# "layouts": {layout key: text}, "source": ...}, each layout's text one node
# a line, "<tabs by level><type> <name> // ByteSize{hex}, Index{hex},
# [Version{hex}, ]IsArray{0|1}, MetaFlag{hex}".
#
# The table is one zlib stream of LEB128 numbers, decoded once when first
# needed:
#   strings:  count, then each: length, bytes
#   subtrees: count, then each: type string, name string, byte size + 1
#             (0 for variable), flags (1 array, 2 align after), child count,
#             the children's subtree numbers (each lower than its parent's)
#   layouts:  count, then each: class ID, root subtree
#   rows:     count, then each: layout count, the layouts
#   versions: count, then each: name length, name, row
# Equal subtrees are kept once, so a field shared by many versions and
# classes costs one record.
#
#   python3 scripts/gen-unity-layouts.py layouts.json > engine/formats/unity/UnityLayouts.inc
import json
import re
import sys
import zlib

NODE = re.compile(r"^(\t*)(.*) // ByteSize\{([0-9a-f]+)\}, Index\{[0-9a-f]+\}, "
                  r"(?:Version\{[0-9a-f]+\}, )?IsArray\{([01])\}, MetaFlag\{([0-9a-f]+)\}$")
TWO_WORD_TYPES = ("unsigned int ", "unsigned short ", "unsigned long long ", "long long ")
ALIGN = 0x4000


def leb(value, out):
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return


def split_type(text):
    for prefix in TWO_WORD_TYPES:
        if text.startswith(prefix):
            return prefix[:-1], text[len(prefix):]
    type_name, _, name = text.partition(" ")
    return type_name, name


def main():
    data = json.load(open(sys.argv[1]))
    strings, string_index = [], {}
    subtrees, subtree_index = [], {}

    def string(text):
        if text not in string_index:
            string_index[text] = len(strings)
            strings.append(text)
        return string_index[text]

    def parse(text):
        header = text.splitlines()[0]
        match = re.match(r"// classID\{(-?\d+)\}", header)
        nodes = []
        for line in text.splitlines()[1:]:
            m = NODE.match(line)
            if not m:
                return None  # an abstract class: no layout
            type_name, name = split_type(m.group(2))
            size = int(m.group(3), 16)
            flags = (1 if m.group(4) == "1" else 0) | (2 if int(m.group(5), 16) & ALIGN else 0)
            nodes.append((len(m.group(1)), string(type_name), string(name),
                          0 if size == 0xFFFFFFFF else size + 1, flags))
        if not nodes:
            return None
        # Hash-cons the tree bottom up.
        position = 0

        def build():
            nonlocal position
            level, type_id, name_id, size, flags = nodes[position]
            position += 1
            children = []
            while position < len(nodes) and nodes[position][0] == level + 1:
                children.append(build())
            key = (type_id, name_id, size, flags, tuple(children))
            if key not in subtree_index:
                subtree_index[key] = len(subtrees)
                subtrees.append(key)
            return subtree_index[key]

        root = build()
        if position != len(nodes):
            raise SystemExit("layout does not form one tree: " + header)
        return int(match.group(1)), root

    layouts, layout_index = [], {}
    for key in sorted(data["layouts"]):
        parsed = parse(data["layouts"][key])
        if parsed is not None:
            layout_index[key] = len(layouts)
            layouts.append(parsed)
    rows, row_index, versions = [], {}, []
    for version in sorted(data["versions"]):
        row = tuple(sorted(layout_index[k] for k in data["versions"][version].values()
                           if k in layout_index))
        if row not in row_index:
            row_index[row] = len(rows)
            rows.append(row)
        versions.append((version, row_index[row]))

    out = bytearray()
    leb(len(strings), out)
    for text in strings:
        encoded = text.encode()
        leb(len(encoded), out)
        out += encoded
    leb(len(subtrees), out)
    for type_id, name_id, size, flags, children in subtrees:
        for value in (type_id, name_id, size, flags, len(children)) + children:
            leb(value, out)
    leb(len(layouts), out)
    for class_id, root in layouts:
        leb(class_id & 0xFFFFFFFF, out)
        leb(root, out)
    leb(len(rows), out)
    for row in rows:
        leb(len(row), out)
        for layout in row:
            leb(layout, out)
    leb(len(versions), out)
    for version, row in versions:
        leb(len(version), out)
        out += version.encode()
        leb(row, out)
    packed = zlib.compress(bytes(out), 9)

    w = sys.stdout.write
    w("// Generated by scripts/gen-unity-layouts.py from %s; do not edit.\n" % data["source"])
    w("// %d versions, %d layouts, %d distinct subtrees, %d strings: %d bytes, zlib-packed.\n\n"
      % (len(versions), len(layouts), len(subtrees), len(strings), len(out)))
    w("// clang-format off\n")
    w("inline constexpr std::size_t kLayoutTableSize = %d;\n" % len(out))
    w("inline constexpr unsigned char kLayoutTable[] = {\n")
    for start in range(0, len(packed), 20):
        w("    " + ",".join("%d" % b for b in packed[start:start + 20]) + ",\n")
    w("};\n// clang-format on\n")


main()
