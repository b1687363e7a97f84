"""The entries' declarations as the module shows them: the committed typing
stub is what tools/gen_kalman_stub.py writes from them, the defaults are the
values the text signatures show, every entry is named where a reader looks
for the list, and outputs of either element type go through the one overlap
check."""

import importlib.util
import inspect
import os
import types

import numpy as np
import pytest

import Orvanta.kalman
import Orvanta._ckernels.kalman._kalman as K

TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools",
                    "gen_kalman_stub.py")


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_kalman_stub", TOOL)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


GEN = load_generator()
ENTRIES = GEN.entries(K)


def test_committed_stub_is_what_the_generator_writes():
    with open(GEN.STUB, encoding="utf-8") as f:
        committed = f.read()
    assert committed == GEN.render(K), "rerun tools/gen_kalman_stub.py"


def test_every_entry_is_declared_and_listed():
    entry_type = type(K.kalman_filter)
    names = [entry.__name__ for entry in ENTRIES]
    assert names == [name for name, value in vars(K).items() if type(value) is entry_type]
    with open(GEN.STUB, encoding="utf-8") as f:
        listed = [line[4:].strip() for line in f if line.startswith("# - ")]
    assert listed == names
    for name in names:
        assert f"``{name}``" in Orvanta.kalman.__doc__
        assert name in Orvanta.kalman.__all__


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.__name__)
def test_defaults_are_the_values_the_text_signature_shows(entry):
    shown = inspect.signature(entry).parameters.values()
    positional = [p.default for p in shown
                  if p.kind is p.POSITIONAL_OR_KEYWORD and p.default is not p.empty]
    keyword = {p.name: p.default for p in shown if p.kind is p.KEYWORD_ONLY}
    assert entry.__defaults__ == tuple(positional)
    assert [type(v) for v in entry.__defaults__] == [type(v) for v in positional]
    assert entry.__kwdefaults__ == (keyword or None)
    if keyword:
        assert {k: type(v) for k, v in entry.__kwdefaults__.items()} == {
            k: type(v) for k, v in keyword.items()}
    annotated = [name for name, _ in entry._declaration["parameters"]]
    assert annotated == [p.name for p in shown]


def test_batch_statuses_sharing_the_loglik_memory_are_refused(monkeypatch):
    block = np.zeros(16, np.int64)

    def zeros(shape, dtype):
        return block[:shape[0]].view(dtype)
    monkeypatch.setattr(K, "np", types.SimpleNamespace(
        zeros=zeros, float64=np.float64, int64=np.int64, asarray=np.asarray))
    one = np.ones((1, 1))
    with pytest.raises(ValueError) as info:
        K.kalman_loglik_batch(0.5 * one, one, one, np.zeros(1), one, one, np.zeros((3, 4, 1)),
                              init="stationary")
    assert str(info.value) == ("kalman_loglik_batch: outputs 'loglik' and 'status' from "
                               "np.zeros share memory.")


def test_named_results_offer_the_named_tuple_api():
    """_fields and _asdict(), as users of named tuples reach for them."""
    one = np.ones((1, 1))
    model = dict(A=one, B=one, C=one, d=np.zeros(1), Q=one, R=one, y=np.arange(3.0)[:, None],
                 x0=np.zeros(1), P0=one)
    results = [K.kalman_filter(**model), K.kalman_smoother(**model),
               K.kalman_loglik_batch(**model), K.kalman_loglik_grad(**model)]
    named_types = {value for value in vars(K).values()
                   if isinstance(value, type) and issubclass(value, tuple)}
    assert {type(result) for result in results} == named_types
    for result in results:
        as_dict = result._asdict()
        assert type(result)._fields == tuple(as_dict) == type(result).__match_args__
        assert all(as_dict[name] is getattr(result, name) for name in result._fields)


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.__name__)
def test_an_unknown_keyword_is_named(entry):
    """As Python functions do, before any missing argument; the two hot loops
    keep the compiled module's order (the missing arguments first)."""
    keeps_old_order = entry.__name__ in ("kalman_hot_loop", "ukf_hot_loop")
    message = (r"takes at least \d+ positional arguments \(0 given\)" if keeps_old_order
               else "got an unexpected keyword argument 'colour'")
    with pytest.raises(TypeError, match=message):
        entry(colour=1)
