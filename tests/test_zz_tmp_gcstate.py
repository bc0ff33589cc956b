def test_state(tmp_path):
    import gc, qvtok, threading
    path = tmp_path / "r.jsonl"
    path.write_text("".join('{"id": %d, "tags": ["a", "b"]}\n' % i for i in range(60000)))
    print("BEFORE", gc.get_freeze_count(), gc.isenabled(), gc.get_count(), gc.get_threshold(), threading.enumerate())
    data = qvtok.open(path).load()
    print("AFTER", gc.get_freeze_count(), gc.isenabled(), gc.get_count())
    assert gc.get_count()[0] < 1000
