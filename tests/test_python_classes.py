"""The modules' classes behave like Python classes while their bodies are compiled."""
import pytest


def test_abstract_store_methods_raise_not_implemented(quarrybin):
    store = quarrybin.AbstractMinBarStore()
    for call in (
        lambda: store.get_minute_bar("600000.SH", 20240102, None),
        lambda: store.get_date_range("600000.SH"),
        lambda: store.get_empty([], "CS"),
    ):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert str(info.value) == ""


def test_classes_are_ordinary_python_classes(quarrybin):
    cls = quarrybin.AbstractMinBarStore
    assert type(cls) is type and cls.__module__ == quarrybin.__name__ and cls.__bases__ == (object,)

    class Store(cls):
        def get_date_range(self, market_code):
            return (1, 2)

    store = Store()
    store.extra = "attribute"  # instances carry a dict
    assert store.get_date_range("x") == (1, 2)
    store.get_empty = lambda fields, instrument_type: "replaced"  # instance attribute wins
    assert store.get_empty([], "CS") == "replaced"
    with pytest.raises(NotImplementedError):
        store.get_minute_bar(market_code="x", date=1, fields=None)  # keywords bind by name


def test_compiled_methods_bind_like_functions(quarrybin):
    cls = quarrybin.AbstractMinBarStore
    store = cls()
    with pytest.raises(NotImplementedError):
        cls.get_date_range(store, "x")  # unbound: self passed explicitly
    with pytest.raises(TypeError):
        store.get_date_range()  # missing argument


@pytest.mark.parametrize(
    "bad, message",
    [
        (None, r"^Argument 'auto_update_bundle_path' has incorrect type \(expected str, got NoneType\)$"),
        (b"/tmp", r"^Argument 'auto_update_bundle_path' has incorrect type \(expected str, got bytes\)$"),
        (
            type("Path", (str,), {})("/tmp"),
            r"^Argument 'auto_update_bundle_path' has incorrect type \(expected str, got Path\)\. "
            r"Subclasses of built-in types are not accepted",
        ),
    ],
)
def test_exact_type_arguments(quarrybin, bad, message):
    with pytest.raises(TypeError, match=message):
        quarrybin.OpenAuctionVolumeStore(bad, None)
    assert quarrybin.OpenAuctionVolumeStore("/tmp", None).init is False
