"""Containers that change while they are walked: by a hook on the encoding
thread, or by another thread.  The walk never reads past a list's current
end and never uses a released member, key or value."""
import threading
import time

import pytest

import quelt


class Marker:
    """An object with no rule of its own, handed to `default`."""

    def __init__(self, action=None):
        self.action = action


def run_default(obj):
    if obj.action is not None:
        obj.action()
    return "x"


# ---- lists -------------------------------------------------------------------


def test_default_that_empties_the_list_being_walked():
    items = [Marker(), 1, 2, 3]
    items[0].action = items.clear
    assert quelt.dumps(items, default=run_default) == '["x"]'


def test_member_stays_alive_when_its_list_drops_it():
    # The inner list's only reference is the outer list, which a hook deep
    # inside the inner list empties: the inner walk must go on over a live
    # list, and the outer walk then ends at its new end.
    outer = []
    inner = [Marker(outer.clear), "after", ["é" * 50]]
    outer.extend([inner, "dropped", ["also dropped"]])
    del inner
    out = quelt.dumps(outer, default=run_default)
    assert out == '[["x","after",["' + "\\u00e9" * 50 + '"]]]'


def test_list_that_shrinks_partly_ends_at_its_current_end():
    items = [0, Marker(), 2, 3, 4, 5]
    items[1].action = lambda: items.__delitem__(slice(3, None))
    assert quelt.dumps(items, default=run_default) == '[0,"x",2]'


def test_list_extended_by_a_hook_keeps_its_starting_members():
    items = [Marker(), 1]
    items[0].action = lambda: items.extend([2, 3, 4])
    assert quelt.dumps(items, default=run_default) == '["x",1]'
    assert len(items) == 5


def test_list_replaced_wholesale_by_a_hook():
    items = [Marker(), "old1", "old2"]
    items[0].action = lambda: items.__setitem__(slice(None), ["n0", "n1", "n2", "n3"])
    assert quelt.dumps(items, default=run_default) == '["x","n1","n2"]'


def test_toDict_that_empties_the_enclosing_list():
    items = []

    class Dropper:
        def toDict(self):
            items.clear()
            return {"dropped": True}

    items.extend([Dropper(), Dropper(), "tail"])
    assert quelt.dumps(items) == '[{"dropped":true}]'


# ---- dictionaries ------------------------------------------------------------


class ClearingKey:
    """A key whose str() empties the dictionary being walked."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target.clear()
        return "k"

    def __lt__(self, other):
        return True

    def __gt__(self, other):
        return False


def test_key_str_that_empties_the_dict_being_walked():
    d = {}
    d[ClearingKey(d)] = ["value", "é" * 20]
    d["later"] = [1, 2, 3]
    out = quelt.dumps(d)
    # The value of the current entry outlives the clear; the walk then ends.
    assert out == '{"k":["value","' + "\\u00e9" * 20 + '"]}'


def test_key_str_that_deletes_its_own_entry():
    d = {}

    class SelfRemoving:
        def __str__(self):
            del d[self]
            return "gone"

    d["a"] = 1
    d[SelfRemoving()] = {"nested": [1, 2]}
    d["c"] = 3
    out = quelt.dumps(d)
    assert out.startswith('{"a":1,"gone":{"nested":[1,2]}')
    assert quelt.loads(out)["gone"] == {"nested": [1, 2]}


# The sorted walk writes one snapshot of the pairs, taken before the sort:
# keys that a comparison or a key's str() removes are still written.
def test_sorted_walk_of_a_dict_emptied_by_a_key():
    d = {}
    d[ClearingKey(d)] = "v"
    assert quelt.dumps(d, sort_keys=True) == '{"k":"v"}'
    assert d == {}


def test_sorted_walk_when_a_comparison_empties_the_dict():
    d = {}

    class Key:
        def __init__(self, name):
            self.name = name

        def __lt__(self, other):
            d.clear()
            return self.name < other.name

        def __str__(self):
            return self.name

    d.update({Key("b"): [1], Key("a"): [2]})
    assert quelt.dumps(d, sort_keys=True) == '{"a":[2],"b":[1]}'


def test_sorted_walk_when_a_default_removes_a_later_key():
    d = {"a": Marker(), "b": 2, "c": [3]}
    d["a"].action = lambda: d.pop("c")
    assert quelt.dumps(d, sort_keys=True, default=run_default) == '{"a":"x","b":2,"c":[3]}'


def test_default_that_empties_the_dict_being_walked():
    d = {"a": Marker(), "b": ["gone"], "c": {"gone": 1}}
    d["a"].action = d.clear
    assert quelt.dumps(d, default=run_default) == '{"a":"x"}'


def test_default_that_drops_the_last_reference_to_a_sorted_dict_value():
    d = {"b": ["é" * 10, Marker()], "a": 1}
    d["b"][1].action = d.clear
    out = quelt.dumps(d, default=run_default, sort_keys=True)
    assert out == '{"a":1,"b":["' + "\\u00e9" * 10 + '","x"]}'


def test_dict_grown_by_a_hook_stays_consistent():
    d = {"a": Marker()}
    d["a"].action = lambda: d.update({f"k{i}": i for i in range(100)})
    out = quelt.dumps(d, default=run_default)
    parsed = quelt.loads(out)
    assert parsed["a"] == "x"
    assert set(parsed) <= set(d)


# ---- other threads -----------------------------------------------------------


def fresh_member(i):
    # Fresh objects, so that removing one from a container releases it.
    kind = i % 5
    if kind == 0:
        return ["é" * (i % 7), i]
    if kind == 1:
        return {"n": i, "s": "ü" * (i % 5)}
    if kind == 2:
        return "text-" + str(i) * (i % 4)
    if kind == 3:
        return float(i) / 3
    return 2**70 + i


def dump_beside_a_mutator(mutate_step, dump_once):
    """Calls mutate_step(1), mutate_step(2), ... on one thread and dump_once()
    on two others for a second; returns the texts dumped and the exceptions
    the dumps raised."""
    stop = threading.Event()
    results = []
    errors = []

    def mutate():
        i = 0
        while not stop.is_set():
            i += 1
            mutate_step(i)

    def dump():
        while not stop.is_set():
            try:
                results.append(dump_once())
            except Exception as exc:  # anything at all is a failure here
                errors.append(exc)

    threads = [threading.Thread(target=mutate)] + [threading.Thread(target=dump) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(1.0)
    stop.set()
    for t in threads:
        t.join()
    return results, errors


@pytest.mark.parametrize("sort_keys", [False, True], ids=["insertion-order", "sorted"])
def test_threads_dump_while_a_third_mutates(sort_keys):
    shared_list = [fresh_member(i) for i in range(50)]
    shared_dict = {f"k{i}": fresh_member(i) for i in range(50)}
    doc = {"list": shared_list, "dict": shared_dict}

    def mutate(i):
        shared_list.append(fresh_member(i))
        shared_dict[f"k{i % 80}"] = fresh_member(i)
        if i % 3 == 0 and shared_list:
            shared_list.pop(i % len(shared_list))
        if i % 7 == 0:
            shared_dict.pop(f"k{(i * 13) % 80}", None)
        if i % 50 == 0:
            del shared_list[10:]
        if i % 97 == 0:
            shared_dict.clear()
        if i % 53 == 0:
            shared_list[:] = [fresh_member(j) for j in range(30)]

    results, errors = dump_beside_a_mutator(mutate, lambda: quelt.dumps(doc, sort_keys=sort_keys))

    assert results
    assert errors == []
    for text in results:
        parsed = quelt.loads(text)
        assert set(parsed) == {"list", "dict"}
        assert isinstance(parsed["list"], list) and isinstance(parsed["dict"], dict)


def test_threads_dump_a_list_that_another_thread_cuts_and_refills():
    # Items cut off the end of a list stay in its array past the new length
    # until they are overwritten; a read checked only against the array's
    # capacity could take one that the other thread has just released.  The
    # sanitizer builds caught such reads here as freed objects.
    shared = [fresh_member(i) for i in range(40)]

    def mutate(i):
        shared.append(fresh_member(i))
        if i % 3 == 0:
            shared.pop(i % len(shared))
        if i % 11 == 0:
            del shared[5:]
        if i % 13 == 0:
            shared[:] = [fresh_member(j) for j in range(20)]
        if i % 17 == 0:
            shared.clear()

    results, errors = dump_beside_a_mutator(mutate, lambda: quelt.dumps(shared))

    assert errors == []
    assert results
    for text in results:
        assert isinstance(quelt.loads(text), list)


def change_on_another_thread(change):
    """Runs change() on a new thread; False when it has not returned within
    ten seconds, as when a lock it needs was never released."""
    worker = threading.Thread(target=change, daemon=True)
    worker.start()
    worker.join(10)
    return not worker.is_alive()


@pytest.mark.parametrize("size", [3, 300], ids=["within-one-hold", "beyond-one-hold"])
@pytest.mark.parametrize(
    "make, change",
    [
        (lambda values: values, lambda c: c.append(1)),
        (lambda values: {f"k{i}": v for i, v in enumerate(values)}, lambda c: c.__setitem__("new", 1)),
    ],
    ids=["list", "dict"],
)
def test_container_is_released_when_a_member_fails_in_it(size, make, change):
    # The NaN fails while the walk writes members in place, inside the
    # container's lock: the failure must leave the lock as it found it.
    container = make([0.5] * (size - 1) + [float("nan")])
    with pytest.raises(OverflowError, match="Invalid value when encoding double"):
        quelt.dumps({"c": container}, allow_nan=False)
    assert change_on_another_thread(lambda: change(container))
    assert quelt.dumps(container, allow_nan=True).startswith(("[0.5", '{"k0":0.5'))
