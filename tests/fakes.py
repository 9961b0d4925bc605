"""Argument objects whose protocols fail or lie, for the tables of errors."""


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("injected")


def fake(name="Fake", bases=(), **namespace):
    """An object of a new type with these attributes and protocol methods."""
    return type(name, bases, namespace)()


def numpy_bool(name="bool_", **namespace):
    """An object of a type that claims to be NumPy's boolean scalar type."""
    return fake(name, __module__="numpy", **namespace)


def error_of(call, *args):
    """(type, message) of the exception call(*args) raises: the interpreter's own wording."""
    try:
        call(*args)
    except Exception as error:
        return type(error), str(error)
    raise AssertionError("no error")
