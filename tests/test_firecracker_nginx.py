"""The Firecracker API client against a real HTTP/1.1 server on a Unix socket."""

import json

import pytest
from conftest import require_program
from support.firecracker_server import NGINX_ROOT_BODY, Nginx
from support.system import open_descriptor_count


@pytest.fixture(scope="module")
def nginx():
    server = Nginx(require_program("nginx"))
    yield server
    server.close()


def test_get_returns_the_json_body(ffi, nginx):
    status, body = ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 2.0)
    assert status == 200
    assert body == NGINX_ROOT_BODY
    assert json.loads(body)["state"] == "Running"


def test_put_with_a_body_gets_204_without_body(ffi, nginx):
    body = json.dumps({"action_type": "InstanceStart", "note": "dé"})
    assert ffi.firecracker_request(nginx.socket_path, "PUT", "/actions", body, 2.0) == (204, None)


def test_unknown_path_returns_the_error_page(ffi, nginx):
    status, body = ffi.firecracker_request(nginx.socket_path, "GET", "/missing", None, 2.0)
    assert status == 404
    assert "404 Not Found" in body


def test_malformed_request_line_is_answered_400(ffi, nginx):
    status, _ = ffi.firecracker_request(nginx.socket_path, "GET", "/a b c", None, 2.0)
    assert status == 400


def test_wait_for_socket_returns(ffi, nginx):
    assert ffi.firecracker_wait_for_socket(nginx.socket_path, 5.0) is None


def test_many_requests_leave_no_descriptors(ffi, nginx):
    ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 2.0)
    before = open_descriptor_count()
    for _ in range(300):
        assert ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 2.0)[0] == 200
        assert ffi.firecracker_request(nginx.socket_path, "GET", "/missing", None, 2.0)[0] == 404
    assert open_descriptor_count() == before
