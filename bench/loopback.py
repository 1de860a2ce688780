"""What the benchmarks that start servers share."""

import socket


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on just now."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])
