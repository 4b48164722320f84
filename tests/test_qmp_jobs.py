"""Job monitoring of _QmpClient against a scripted monitor: records, waiting, dismissal."""

import json
import math
import shutil
import threading
import time

import pytest
from support.qmp_fake import qmp_error, reply, short_socket_path

QUERY = b'{"execute":"query-jobs"}\n'


def dismiss(job_id: str) -> bytes:
    return b'{"arguments":{"id":' + json.dumps(job_id).encode() + b'},"execute":"job-dismiss"}\n'


def job(job_id="j", status="running", **members):
    element = {"id": job_id, "type": "snapshot-save", "status": status,
               "current-progress": 0, "total-progress": 1}
    element.update(members)
    return element



# --- query_jobs -----------------------------------------------------------------------------


def test_query_jobs_text_and_member_order(client, monitor):
    monitor.script(
        [reply([])],
        [reply([job("save-1", "concluded", **{"current-progress": 5, "total-progress": 5}),
                {"id": "load-\u00e9\"", "type": "snapshot-load", "status": "running",
                 "error": "bad\nthing", "extra": {"ignored": True}}])])
    assert client.query_jobs() == "[]"
    text = client.query_jobs()
    assert text == (
        '[{"job_id":"save-1","job_type":"snapshot-save","status":"concluded",'
        '"current_progress":5,"total_progress":5,"error":null},'
        '{"job_id":"load-\u00e9\\"","job_type":"snapshot-load","status":"running",'
        '"current_progress":0,"total_progress":0,"error":"bad\\nthing"}]')
    assert monitor.commands() == [QUERY, QUERY]


@pytest.mark.parametrize("element, fields", [
    ({}, {"job_id": "null", "job_type": "null", "status": "null", "current_progress": 0,
          "total_progress": 0, "error": None}),
    ({"id": 3, "type": None, "status": ["x"]},
     {"job_id": "3", "job_type": "null", "status": '["x"]'}),
    ({"current-progress": "42", "total-progress": "-7"},
     {"current_progress": 42, "total_progress": -7}),
    ({"current-progress": 1.5, "total-progress": 9223372036854775808},
     {"current_progress": 0, "total_progress": 0}),
    ({"current-progress": "+9223372036854775807", "total-progress": "1 "},
     {"current_progress": 9223372036854775807, "total_progress": 0}),
    ({"current-progress": True, "total-progress": -9223372036854775808},
     {"current_progress": 0, "total_progress": -9223372036854775808}),
    ({"error": None}, {"error": "null"}),
    ({"error": "it broke"}, {"error": "it broke"}),
    ({"error": {"b": 1, "a": 2}}, {"error": '{"a":2,"b":1}'}),
])
def test_query_jobs_field_rules(client, monitor, element, fields):
    monitor.script([reply([element])])
    (record,) = json.loads(client.query_jobs())
    assert list(record) == ["job_id", "job_type", "status", "current_progress",
                            "total_progress", "error"]
    assert {name: record[name] for name in fields} == fields


@pytest.mark.parametrize("returned", [{}, {"jobs": []}, None, "[]", [{"id": "a"}, []],
                                      [{"id": "a"}, None, 1]])
def test_query_jobs_unexpected_response(client, monitor, returned):
    monitor.script([reply(returned)])
    with pytest.raises(RuntimeError) as excinfo:
        client.query_jobs()
    assert qmp_error(excinfo) == {"context": {"result": returned},
                                  "message": "Unexpected QMP query-jobs response"}


def test_query_jobs_refused_by_the_monitor(client, monitor):
    monitor.script([b'{"error":{"class":"CommandNotFound"}}\n'])
    with pytest.raises(RuntimeError) as excinfo:
        client.query_jobs()
    assert qmp_error(excinfo) == {
        "context": {"class": "CommandNotFound", "command": "query-jobs", "desc": None,
                    "socket_path": monitor.path},
        "message": "QMP command 'query-jobs' failed"}


# --- dismiss_job ----------------------------------------------------------------------------


def test_dismiss_job(client, monitor):
    monitor.script([reply({"ignored": 1})],
                   [b'{"error":{"class":"GenericError","desc":"Job not found"}}\n'])
    assert client.dismiss_job("save-1") is None
    with pytest.raises(RuntimeError) as excinfo:
        client.dismiss_job(job_id="")
    assert qmp_error(excinfo) == {
        "context": {"class": "GenericError", "command": "job-dismiss", "desc": "Job not found",
                    "socket_path": monitor.path},
        "message": "QMP command 'job-dismiss' failed"}
    assert monitor.commands() == [dismiss("save-1"), dismiss("")]


# --- wait_for_job ---------------------------------------------------------------------------


def test_wait_returns_the_concluded_record_and_dismisses_it(client, monitor):
    monitor.script([reply([])],
                   [reply([job("other", "concluded"), job("j", "running")])],
                   [reply([job("j", "concluded", **{"current-progress": 1})])])
    started = time.monotonic()
    text = client.wait_for_job("j", 5, 0.1)
    elapsed = time.monotonic() - started
    assert text == ('{"job_id":"j","job_type":"snapshot-save","status":"concluded",'
                    '"current_progress":1,"total_progress":1,"error":null}')
    assert monitor.commands() == [QUERY, QUERY, QUERY, dismiss("j")]
    # A full pause after each query that did not find the job concluded, none after the last.
    gaps = [b - a for a, b in zip(monitor.received_at[1:], monitor.received_at[2:])]
    assert all(0.1 <= gap < 0.3 for gap in gaps[:2])
    assert gaps[2] < 0.1
    assert 0.2 <= elapsed < 1


def test_wait_with_a_failed_dismissal_still_succeeds(client, monitor):
    monitor.script([reply([job("j", "concluded")])],
                   [b'{"error":{"class":"GenericError","desc":"no"}}\n'])
    assert json.loads(client.wait_for_job("j", 1, 0))["status"] == "concluded"
    assert monitor.commands() == [QUERY, dismiss("j")]


@pytest.mark.parametrize("error, text", [("disk full", "disk full"), (None, "null"),
                                         (7, "7")])
def test_wait_for_a_failed_job_raises_and_does_not_dismiss(client, monitor, error, text):
    monitor.script([reply([job("j", "concluded", type="snapshot-load", error=error)])])
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", 1, 0)
    assert qmp_error(excinfo) == {
        "context": {"error": text, "job_id": "j", "job_type": "snapshot-load",
                    "socket_path": monitor.path, "status": "concluded"},
        "message": "QMP job failed"}
    assert monitor.commands() == [QUERY]


@pytest.mark.parametrize("listed, requested, outcome", [
    # The first job with the id decides.
    ([job("j", "running"), job("j", "concluded")], "j", "running"),
    ([job("j", "concluded"), job("j", "concluded", error="x")], "j", "dismissed"),
    # Only "concluded", byte for byte, ends the wait.
    ([job("j", "Concluded")], "j", "Concluded"),
    ([job("j", "concluded ")], "j", "concluded "),
    # Ids are compared byte for byte, after the field rule made them text.
    ([job("J", "concluded"), job("j ", "concluded")], "j", None),
    ([job("\u00e9", "concluded")], "e\u0301", None),
    ([job(3, "concluded")], "3", "dismissed"),
    ([{"status": "concluded"}], "null", "dismissed"),
])
def test_wait_matching(client, monitor, listed, requested, outcome):
    monitor.default = [reply(listed)]
    if outcome == "dismissed":
        assert json.loads(client.wait_for_job(requested, 1, 0.05))["status"] == "concluded"
        assert monitor.commands() == [QUERY, dismiss(requested)]
        return
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job(requested, 0.15, 0.05)
    assert qmp_error(excinfo) == {
        "context": {"job_id": requested, "last_status": outcome, "socket_path": monitor.path},
        "message": "Timed out waiting for QMP job"}
    assert dismiss(requested) not in monitor.commands()


def test_wait_for_a_vanished_job_reports_its_last_status(client, monitor):
    monitor.script([reply([job("j", "running")])], [reply([job("j", "pending")])])
    monitor.default = [reply([job("k", "concluded")])]
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", 0.3, 0.05)
    assert qmp_error(excinfo)["context"]["last_status"] == "pending"


def test_final_pause_runs_past_the_deadline_without_another_query(client, monitor):
    monitor.default = [reply([job("j", "running")])]
    started = time.monotonic()
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", 1, 5)
    elapsed = time.monotonic() - started
    assert qmp_error(excinfo)["context"]["last_status"] == "running"
    assert monitor.commands() == [QUERY]
    assert 5 <= elapsed < 6


def test_zero_pause_queries_back_to_back_until_the_deadline(client, monitor):
    monitor.default = [reply([])]
    started = time.monotonic()
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", 0.2, -1)
    elapsed = time.monotonic() - started
    assert qmp_error(excinfo)["context"]["last_status"] is None
    assert len(monitor.commands()) > 10
    assert 0.2 <= elapsed < 0.5


@pytest.fixture
def missing_path():
    directory, path = short_socket_path()
    yield path
    shutil.rmtree(directory, ignore_errors=True)


@pytest.mark.parametrize("timeout", [0, -1, 1e-10, math.nan, math.inf])
def test_zero_timeout_fails_before_anything_is_sent(ffi, missing_path, timeout):
    client = ffi._QmpClient(missing_path)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", timeout, 1)
    # No connect was attempted: that would have taken the automatic 5 s deadline.
    assert time.monotonic() - started < 0.1
    assert qmp_error(excinfo) == {
        "context": {"job_id": "j", "last_status": None, "socket_path": missing_path},
        "message": "Timed out waiting for QMP job"}


@pytest.mark.parametrize("timeout, poll_interval", [(1e20, 1), (9.3e18, 1), (1, 2.0**64)])
def test_time_outs_too_large_are_refused_and_client_stays_usable(client, monitor, timeout,
                                                                 poll_interval):
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", timeout, poll_interval)
    assert qmp_error(excinfo) == {"context": {"socket_path": monitor.path},
                                  "message": "timeout is too large to be represented"}
    assert monitor.accepted == 0
    monitor.script([reply([job("j", "concluded")])])
    assert json.loads(client.wait_for_job("j", 1, 1))["job_id"] == "j"


def test_a_failed_query_ends_the_wait(client, monitor):
    monitor.script([reply([job("j", "running")])], [reply({"not": "a list"})])
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("j", 5, 0)
    assert qmp_error(excinfo) == {"context": {"result": {"not": "a list"}},
                                  "message": "Unexpected QMP query-jobs response"}
    assert monitor.commands() == [QUERY, QUERY]


@pytest.mark.parametrize("call, kind, text", [
    (lambda c: c.wait_for_job("j", "1", 1), TypeError,
     "argument 'timeout': must be real number, not str"),
    (lambda c: c.wait_for_job(b"j", None, 1), TypeError,
     "argument 'job_id': 'bytes' object is not an instance of 'str'"),
    (lambda c: c.wait_for_job("j", 1, poll_interval=None), TypeError,
     "argument 'poll_interval': must be real number, not NoneType"),
    (lambda c: c.wait_for_job("j", 1), TypeError,
     "_QmpClient.wait_for_job() missing 1 required positional argument: 'poll_interval'"),
    (lambda c: c.wait_for_job("j", 10**400, 1), OverflowError,
     "int too large to convert to float"),
    (lambda c: c.dismiss_job(), TypeError,
     "_QmpClient.dismiss_job() missing 1 required positional argument: 'job_id'"),
    (lambda c: c.dismiss_job(1), TypeError,
     "argument 'job_id': 'int' object is not an instance of 'str'"),
])
def test_argument_errors(client, monitor, call, kind, text):
    with pytest.raises(kind) as excinfo:
        call(client)
    assert type(excinfo.value) is kind
    assert str(excinfo.value) == text
    assert monitor.accepted == 0


def test_the_client_lock_is_held_for_the_whole_wait(client, monitor):
    monitor.script([reply([job("j", "running")])], [reply([job("j", "running")])],
                   [reply([job("j", "concluded")])])
    results = []
    waiter = threading.Thread(target=lambda: results.append(client.wait_for_job("j", 5, 0.2)))
    waiter.start()
    monitor.wait_for(lambda: len(monitor.commands()) == 1)
    # Issued during the first pause, it runs only once the wait has dismissed the job.
    assert client.execute("query-status", None) == "{}"
    waiter.join()
    assert json.loads(results[0])["status"] == "concluded"
    assert monitor.commands() == [QUERY, QUERY, QUERY, dismiss("j"),
                                  b'{"execute":"query-status"}\n']
