"""Reading an HTTP request off a socket, as the fake API servers do."""

import re
import socket

_CONTENT_LENGTH = re.compile(rb"\r\ncontent-length:\s*(\d+)", re.IGNORECASE)


def read_request(conn: socket.socket) -> bytes:
    """The bytes of one request: its head up to the blank line, then the body its Content-Length
    declares; or whatever came before the peer closed, if it closed early."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    match = _CONTENT_LENGTH.search(head)
    length = int(match.group(1)) if match else 0
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n" + body
