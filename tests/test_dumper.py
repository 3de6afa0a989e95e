"""ovark.utils.yaml.dumper: OrderedSafeDumper writes OrderedDicts in their order."""

import inspect
from collections import OrderedDict

import pytest
import yaml

from ovark.utils.yaml import dumper
from ovark.utils.yaml.dumper import OrderedSafeDumper

from conftest import assert_no_leak


def test_class_surface():
    assert OrderedSafeDumper.__bases__ == (yaml.SafeDumper,)
    assert OrderedSafeDumper.__doc__ == "Order safe dumper"
    assert OrderedSafeDumper.__module__ == "ovark.utils.yaml.dumper"
    assert dumper.SafeDumper is yaml.SafeDumper and dumper.OrderedDict is OrderedDict
    assert isinstance(inspect.getattr_static(OrderedSafeDumper, "ordereddict_representer"), staticmethod)
    assert str(inspect.signature(OrderedSafeDumper.ordereddict_representer)) == "(dumper, data)"


def test_registered_on_this_class_only():
    assert OrderedSafeDumper.yaml_representers[OrderedDict] is OrderedSafeDumper.ordereddict_representer
    for other in (yaml.SafeDumper, yaml.Dumper, yaml.BaseDumper):
        assert other.yaml_representers.get(OrderedDict) is not OrderedSafeDumper.ordereddict_representer
    with pytest.raises(yaml.representer.RepresenterError):
        yaml.dump(OrderedDict(a=1), Dumper=yaml.SafeDumper)


@pytest.mark.parametrize("data, text", [
    (OrderedDict([("b", 1), ("a", 2)]), "b: 1\na: 2\n"),
    ([OrderedDict([("z", 1), ("y", OrderedDict([("q", 1), ("p", 2)]))])], "- z: 1\n  y:\n    q: 1\n    p: 2\n"),
    ({"k": OrderedDict([("b", 1), ("a", 2)]), "a": 0}, "a: 0\nk:\n  b: 1\n  a: 2\n"),  # plain dicts: SafeDumper's rule
    (OrderedDict(), "{}\n"),
])
def test_dump_keeps_order(data, text):
    out = yaml.dump(data, Dumper=OrderedSafeDumper, default_flow_style=False)
    assert out == text
    assert "!!python" not in out and "tag:" not in out
    assert yaml.safe_load(out) == data


def test_representer_called_directly():
    d = OrderedSafeDumper(None)
    node = OrderedSafeDumper.ordereddict_representer(d, OrderedDict([("b", 1), ("a", 2)]))
    assert node.tag == "tag:yaml.org,2002:map"
    assert [k.value for k, _ in node.value] == ["b", "a"]
    node = d.ordereddict_representer(d, OrderedDict(x=1))  # no binding through an instance
    assert [k.value for k, _ in node.value] == ["x"]


@pytest.mark.slow
def test_no_reference_leaks():
    data = [OrderedDict([("b", 1), ("a", [OrderedDict(c=2)])])]
    assert_no_leak(lambda: yaml.dump(data, Dumper=OrderedSafeDumper), calls=2000)
