#!/usr/bin/python3
"""Writes the ASF header seeds and hostile headers of tests/data/asf_header.

Each hostile file is named after the fault it provokes in a careless parser.
Run from the checkout: /usr/bin/python3 tests/media/make_asf_headers.py
"""
import os
import struct
import uuid

OUT = os.path.join(os.path.dirname(__file__), "..", "data", "asf_header")


def guid(text):
    return uuid.UUID(text).bytes_le


HEADER = guid("75B22630-668E-11CF-A6D9-00AA0062CE6C")
FILE_PROPS = guid("8CABDCA1-A947-11CF-8EE4-00C00C205365")
CONTENT = guid("75B22633-668E-11CF-A6D9-00AA0062CE6C")
EXT_CONTENT = guid("D2D0A440-E307-11D2-97F0-00A0C95EA850")
HEADER_EXT = guid("5FBF03B5-A92E-11CF-8EE3-00C00C205365")
EXT_RESERVED = guid("ABD3D211-A9BA-11CF-8EE6-00C00C205365")
METADATA = guid("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA")
METADATA_LIB = guid("44231C94-9498-49D1-A141-1D134E457054")


def obj(gid, body, size=None):
    return gid + struct.pack("<Q", 24 + len(body) if size is None else size) + body


def u16s(text):
    return (text + "\0").encode("utf-16-le")


def file_props(duration=30_000_000, preroll=3000):
    body = bytes(16) + struct.pack("<QQQQQQIIII", 0, 0, 1, duration + preroll * 10000, duration, preroll, 2,
                                   3200, 3200, 128000)
    return obj(FILE_PROPS, body)


def content(title="Title", author="Author"):
    fields = [u16s(title), u16s(author), b"", b"", b""]
    return obj(CONTENT, struct.pack("<5H", *map(len, fields)) + b"".join(fields))


def descriptor(name, kind, value):
    n = u16s(name)
    return struct.pack("<H", len(n)) + n + struct.pack("<HH", kind, len(value)) + value


def ext_content(*descs, count=None):
    return obj(EXT_CONTENT, struct.pack("<H", len(descs) if count is None else count) + b"".join(descs))


def record(name, kind, value, stream=0, lang=0, length=None):
    n = u16s(name)
    return struct.pack("<HHHHI", lang, stream, len(n), kind, len(value) if length is None else length) + n + value


def metadata(gid, *records):
    return obj(gid, struct.pack("<H", len(records)) + b"".join(records))


def header_ext(*objs, data_size=None):
    data = b"".join(objs)
    return obj(HEADER_EXT, EXT_RESERVED + struct.pack("<HI", 6, len(data) if data_size is None else data_size) + data)


def header(*objs, count=None, size=None):
    body = b"".join(objs)
    return obj(HEADER, struct.pack("<IBB", len(objs) if count is None else count, 1, 2) + body, size)


def valid_objects():
    return [
        file_props(),
        content(),
        ext_content(descriptor("WM/AlbumTitle", 0, u16s("Album")), descriptor("WM/Track", 3, struct.pack("<I", 4)),
                    descriptor("WM/IsVBR", 2, struct.pack("<I", 1)), descriptor("ID3/TXXX", 1, b"\x01\x02\x03")),
        header_ext(metadata(METADATA, record("WM/StreamName", 0, u16s("Main"), stream=1)),
                   metadata(METADATA_LIB, record("WM/Guid", 6, bytes(range(16))),
                            record("WM/Big", 4, struct.pack("<Q", 1 << 40)))),
    ]


def files():
    v = valid_objects()
    yield "valid_tagged_header.asf", header(*v)
    yield "valid_minimal_header.asf", header(file_props(), header_ext())
    yield "header_size_beyond_file.asf", header(*v, size=1 << 40)
    yield "header_size_below_minimum.asf", header(*v, size=12)
    yield "object_size_zero.asf", header(obj(CONTENT, b"", size=0), *v[1:])
    yield "object_past_header_end.asf", header(v[0], obj(CONTENT, b"\0" * 10, size=5000))
    yield "object_count_beyond_objects.asf", header(*v, count=1000)
    yield "truncated_in_object_header.asf", header(*v)[:-len(v[-1]) + 10]
    yield "content_description_field_past_end.asf", header(
        v[0], obj(CONTENT, struct.pack("<5H", 60000, 0, 0, 0, 0) + u16s("x")))
    yield "string_of_odd_length.asf", header(v[0], ext_content(descriptor("WM/Odd", 0, b"abc")))
    yield "descriptor_count_beyond_object.asf", header(
        v[0], ext_content(descriptor("WM/AlbumTitle", 0, u16s("Album")), count=65535))
    yield "descriptor_value_past_end.asf", header(
        v[0], ext_content(descriptor("WM/AlbumTitle", 0, u16s("Album"))[:-4]))
    yield "dword_of_three_bytes.asf", header(v[0], ext_content(descriptor("WM/Track", 3, b"\1\2\3")))
    yield "unknown_attribute_type.asf", header(v[0], ext_content(descriptor("WM/What", 9, b"\0\0")))
    yield "metadata_length_4gib.asf", header(
        v[0], header_ext(metadata(METADATA_LIB, record("WM/Picture", 1, b"\xff" * 8, length=0xFFFFFFFF))))
    yield "metadata_stream_out_of_range.asf", header(
        v[0], header_ext(metadata(METADATA, record("WM/Name", 0, u16s("x"), stream=4000))))
    yield "extension_size_beyond_object.asf", header(v[0], header_ext(metadata(METADATA), data_size=0x7FFFFFFF))
    yield "two_header_extensions.asf", header(v[0], header_ext(), header_ext())
    yield "two_content_descriptions.asf", header(v[0], content("One"), content("Two"))
    yield "not_an_asf_file.asf", b"RIFF" + bytes(60)


os.makedirs(OUT, exist_ok=True)
for name, data in files():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
