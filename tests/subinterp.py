"""import_in_subinterpreter(): `import <name>` in a fresh subinterpreter of this process.

The subinterpreter uses the legacy settings (shared GIL, no check of multi-phase
extension modules by the import system), so an extension module's own create
step decides whether it may be loaded there. Python 3.12 creates isolated
interpreters by default and 3.13 only offers ``_interpreters``, hence the branches.
"""

import sys


def import_in_subinterpreter(name, path=None, isolated=False, setup=""):
    """Return None if the import succeeded, else "ExcType: message".

    ``isolated`` asks, from 3.12 on, for an interpreter with its own GIL; ``setup`` is
    code that the subinterpreter runs before the import."""
    code = "import sys\n"
    if path:
        code += "sys.path.insert(0, %r)\n" % path
    code += setup + "\n"
    code += "import %s\n" % name
    if sys.version_info >= (3, 13):
        import _interpreters

        iid = _interpreters.create("isolated" if isolated else "legacy")
        try:
            exc = _interpreters.exec(iid, code)  # None, or a snapshot of the exception
        finally:
            _interpreters.destroy(iid)
        return None if exc is None else "%s: %s" % (exc.type.__name__, exc.msg)
    import _xxsubinterpreters as interpreters

    if sys.version_info >= (3, 12):
        iid = interpreters.create(isolated=isolated)  # the default is isolated (own GIL)
    else:
        iid = interpreters.create()
    try:
        interpreters.run_string(iid, code)
        return None
    except interpreters.RunFailedError as e:
        # str(e) is "<class 'ImportError'>: message" up to 3.12
        text = str(e)
        if text.startswith("<class '"):
            cls, _, msg = text[len("<class '") :].partition("'>: ")
            text = "%s: %s" % (cls.rsplit(".", 1)[-1], msg)
        return text
    finally:
        interpreters.destroy(iid)
