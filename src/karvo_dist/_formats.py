"""What an input holds, told by its first bytes, and compressed inputs opened as streams.

Users name files as they like: `gzip -c f.jsonl | karvo-profile -`, a `.gz` without its
suffix, a Parquet file given by mistake. Read as JSON Lines, each of these would be an
empty profile with thousands of bad lines, which looks like success. So every source that
can be peeked at is recognised by its magic bytes first: compressed text is decompressed,
and a file that cannot be JSON Lines is refused with what it looks like.

Only the standard library is needed; zstd is read when a module for it is installed.
"""

from __future__ import annotations

import bz2
import gzip
import lzma
from typing import IO, Any, Callable

# Enough of the head to tell every format below apart and to see that a file is binary.
HEAD_BYTES = 4096


class InputFormatError(ValueError):
    """An input that is not JSON Lines, such as a Parquet file: nothing of it was read."""


def _zstd_reader(raw: IO[bytes]) -> IO[bytes]:
    try:
        from compression import zstd  # type: ignore[import-not-found]  # Python 3.14+
        return zstd.ZstdFile(raw, mode="rb")
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found]
    except ImportError:
        raise InputFormatError("zstd-compressed; install the 'zstandard' package to read it") \
            from None
    return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True)


# Compressed forms: magic bytes, name, a function that opens a decompressing stream.
_COMPRESSED: tuple[tuple[bytes, str, Callable[[IO[bytes]], IO[bytes]]], ...] = (
    (b"\x1f\x8b", "gzip", lambda raw: gzip.GzipFile(fileobj=raw, mode="rb")),
    (b"BZh", "bzip2", lambda raw: bz2.BZ2File(raw, mode="rb")),
    (b"\xfd7zXZ\x00", "xz", lambda raw: lzma.LZMAFile(raw, mode="rb")),
    (b"(\xb5/\xfd", "zstd", _zstd_reader),
)

# Forms that are never JSON Lines, by their magic bytes. Columnar files first: users do
# hand those to a JSON Lines reader.
_NOT_JSON_LINES: tuple[tuple[bytes, str], ...] = (
    (b"PAR1", "a Parquet file"),
    (b"ARROW1", "an Arrow IPC file"),
    (b"\xff\xff\xff\xff", "an Arrow IPC stream"),
    (b"ORC", "an ORC file"),
    (b"Obj\x01", "an Avro file"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"PK\x03\x04", "a ZIP archive"),
    (b"%PDF", "a PDF document"),
    (b"\x7fELF", "an executable"),
    (b"\x89PNG", "a PNG image"),
    (b"\xff\xd8\xff", "a JPEG image"),
)


def decompressor(head: bytes) -> tuple[str, Callable[[IO[bytes]], IO[bytes]]] | None:
    """The compressed form an input with this head is in, and how to open it; None for
    anything else."""
    for magic, name, opener in _COMPRESSED:
        if head.startswith(magic):
            return name, opener
    return None


def refusal(head: bytes) -> str | None:
    """What an input with this head looks like when it cannot be JSON Lines; None when it
    may be. A NUL byte never occurs in JSON text (not even in a string, where control
    characters must be escaped), so a head that holds one and does not even begin like a
    JSON object is binary; one that begins with `{` is left to the reader, whose bad
    lines then say where it went wrong."""
    for magic, what in _NOT_JSON_LINES:
        if head.startswith(magic):
            return what
    text = head.lstrip(b"\xef\xbb\xbf").lstrip(b" \t\r\n")
    if b"\x00" in head and not text.startswith(b"{"):
        return "binary data"
    return None


def refuse(name: str | None, what: str) -> InputFormatError:
    where = f"'{name}'" if name is not None else "the input"
    if what.startswith("zstd"):
        return InputFormatError(f"{where} is {what}")
    return InputFormatError(f"{where} is {what}, not JSON Lines")


class Prefixed:
    """A binary stream whose first bytes were already read: gives them back first, then
    the rest of the stream. Lets a head be read from a stream that cannot peek."""

    def __init__(self, head: bytes, rest: Any) -> None:
        self._head = head
        self._rest = rest

    def read(self, size: int = -1) -> bytes:
        if self._head:
            if size is None or size < 0:
                data, self._head = self._head + (self._rest.read() or b""), b""
                return data
            data, self._head = self._head[:size], self._head[size:]
            return data
        return self._rest.read(size)

    def readable(self) -> bool:
        return True

    def close(self) -> None:  # the caller owns the stream underneath
        pass

    @property
    def closed(self) -> bool:
        return False


def read_head(stream: Any) -> bytes:
    """Up to HEAD_BYTES of a stream's first bytes, read in as many reads as it takes (a
    pipe may give them a few at a time); fewer only at its end."""
    head = b""
    while len(head) < HEAD_BYTES:
        piece = stream.read(HEAD_BYTES - len(head))
        if not piece:
            break
        head += bytes(piece)
    return head
