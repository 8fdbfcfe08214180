import netrove


def test_module_imports():
    assert netrove.__name__ == "netrove"
