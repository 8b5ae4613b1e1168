from functools import wraps  # noqa: I001  in the order the module imports them
from quorvex.process_client.login import Client
# The same steps as the compiled decorator and wrapper, at the lines they report.
def require_session(func):  # its locals are func, wrapper, wrapper: the compiled code names wrapper twice
    """
    Decorator để đảm bảo rằng Client đã đăng nhập trước khi thực hiện function.
    Nếu chưa đăng nhập, raise Exception.
    """  # the compiled __doc__ starts with the signature line, "require_session(func)\n"
    @wraps(func)
    def wrapper(*args, **kwargs):  # reports its binding errors as "wrapper()", whatever wraps names it
        # Khởi tạo Client
        client = Client()

        # Kiểm tra token: only None refuses
        if client.token is None:
            raise Exception("Chưa đăng nhập. Vui lòng đăng nhập trước.")

        # Nếu đã đăng nhập, thực thi function
        return func(*args, **kwargs)

    return wrapper


# Bound last, as the compiled module's import does; a failure here is reported at line 1.
__test__ = {}
