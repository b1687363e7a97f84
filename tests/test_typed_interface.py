"""The typing stub _kalman.pyi against the live extension module: the same
functions, parameter names, kinds and defaults, and result tuples whose
element types match what the functions return."""

import ast
import inspect
import math
import os

import numpy as np
import pytest
from numba import cfunc

import Orvanta
from Orvanta._ckernels.kalman import _kalman

STUB = os.path.join(os.path.dirname(_kalman.__file__), "_kalman.pyi")


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read(), STUB)


def stub_functions():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def stub_aliases():
    return {node.target.id: node.value for node in stub_tree().body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}


def expand(node, aliases):
    """Annotation as nested tuples of names: tuple[a, tuple[b]] -> ('a', ('b',))."""
    if isinstance(node, ast.Name):
        return expand(aliases[node.id], aliases) if node.id in aliases else node.id
    if isinstance(node, ast.Subscript) and ast.unparse(node.value) == "tuple":
        items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        return tuple(expand(item, aliases) for item in items)
    return ast.unparse(node)


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def test_stub_declares_exactly_the_module_functions():
    live = {name for name, value in vars(_kalman).items()
            if callable(value) and getattr(value, "__module__", None) == _kalman.__name__}
    live_functions = {name for name in live if not isinstance(getattr(_kalman, name), type)}
    assert set(stub_functions()) == live_functions == {
        "kalman_hot_loop", "ukf_hot_loop", "kalman_filter", "kalman_smoother",
        "kalman_loglik_batch", "kalman_loglik_grad"}
    assert set(stub_classes()) == live - live_functions == {
        "KalmanFilterResult", "KalmanSmootherResult", "KalmanLoglikBatchResult",
        "KalmanLoglikGradResult"}


@pytest.mark.parametrize("name", ["kalman_hot_loop", "ukf_hot_loop", "kalman_filter",
                                  "kalman_smoother", "kalman_loglik_batch",
                                  "kalman_loglik_grad"])
def test_stub_parameters_match_the_live_signature(name):
    node = stub_functions()[name]
    args = node.args
    assert not (args.posonlyargs or args.vararg or args.kwarg)
    stub_names = [a.arg for a in args.args]
    stub_defaults = dict(zip(stub_names[len(stub_names) - len(args.defaults):],
                             (ast.literal_eval(d) for d in args.defaults)))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        stub_defaults[a.arg] = ast.literal_eval(d)
    live = inspect.signature(getattr(_kalman, name)).parameters
    assert stub_names + [a.arg for a in args.kwonlyargs] == list(live)
    for p in live.values():
        kind = (inspect.Parameter.KEYWORD_ONLY if p.name in {a.arg for a in args.kwonlyargs}
                else inspect.Parameter.POSITIONAL_OR_KEYWORD)
        assert p.kind is kind
        if p.default is inspect.Parameter.empty:
            assert p.name not in stub_defaults
        else:
            assert type(stub_defaults[p.name]) is type(p.default)
            assert stub_defaults[p.name] == p.default
    # Every parameter is annotated.
    assert all(a.annotation is not None for a in args.args + args.kwonlyargs)


@pytest.mark.parametrize("entry, cls", [("kalman_filter", "KalmanFilterResult"),
                                        ("kalman_smoother", "KalmanSmootherResult"),
                                        ("kalman_loglik_batch", "KalmanLoglikBatchResult"),
                                        ("kalman_loglik_grad", "KalmanLoglikGradResult")])
def test_stub_result_class_names_the_live_fields(entry, cls):
    node = stub_classes()[cls]
    properties = [item.name for item in node.body if isinstance(item, ast.FunctionDef)
                  and any(getattr(d, "id", None) == "property" for d in item.decorator_list)]
    assert tuple(properties) == getattr(_kalman, cls).__match_args__
    mdl = np.ones((1, 1))
    result = getattr(_kalman, entry)(0.5 * mdl, mdl, mdl, np.zeros(1), mdl, mdl,
                                     np.zeros((3, 1)), init="stationary")
    assert len(result) == len(properties)
    assert type(result.loglik) is (np.ndarray if entry == "kalman_loglik_batch" else float)


@cfunc("void(CPointer(float64), CPointer(float64), CPointer(float64))")
def _identity(v, p, out):
    out[0] = v[0]


def _kalman_result():
    one = np.ones((1, 1))
    return _kalman.kalman_hot_loop(3, (1, 1, 1), 0.5 * one, one.copy(), one.copy(),
                                   np.zeros(1), one.copy(), one.copy(), np.zeros((3, 1)),
                                   np.zeros(1), one.copy(), True, 0.0, return_shocks=True)


def _ukf_result():
    hx = np.array([[0.5]])
    return _kalman.ukf_hot_loop(_identity.address, hx, np.zeros((0, 1)), np.ones((1, 1)),
                                np.zeros((1, 1, 1)), np.zeros((0, 1, 1)), np.zeros(1),
                                np.zeros(0), np.zeros(1), None, np.ones((1, 1)),
                                np.ones((1, 1)), np.zeros((3, 1)), np.zeros(2), np.eye(2),
                                1.0, 2.0, 0.0, 0.0)


@pytest.mark.parametrize("name, run", [("kalman_hot_loop", _kalman_result),
                                       ("ukf_hot_loop", _ukf_result)])
def test_stub_result_type_matches_a_live_result(name, run):
    declared = expand(stub_functions()[name].returns, stub_aliases())
    result = run()
    assert len(declared) == len(result) == 3
    assert declared[0] == "Literal[0]" and result[0] == 0 and type(result[0]) is int
    assert declared[1] == ("float",) * 3 and result[1] == (0.0, 0.0, 0.0)
    assert len(declared[2]) == len(result[2])
    for kind, value in zip(declared[2], result[2]):
        if kind == "float":
            assert type(value) is float and math.isfinite(value)
        else:
            assert kind == "NDArray[np.float64]"
            assert isinstance(value, np.ndarray) and value.dtype == np.float64
            assert value.shape[0] == 3  # the history of all three periods


def test_package_is_marked_typed():
    assert os.path.isfile(os.path.join(os.path.dirname(Orvanta.__file__), "py.typed"))
