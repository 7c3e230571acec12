#!/usr/bin/env python3
"""Downloads one URL into a file through libzephyl's C interface, with Python's ctypes alone.

    zephyl_download.py [--storage DIR] [--threads N] URL OUTPUT

The library is taken from $ZEPHYL_LIBRARY, else found by ctypes (libzephyl.so, zephyl.dll).
Unfinished downloads wait in the storage directory (default: ~/.cache/zephyl-python) and resume
when the same command runs again. Prints the progress and the MD5 of the result; exits 0 on
success, 1 when the download failed, 2 on a usage error.
"""
import argparse
import ctypes
import ctypes.util
import os
import sys

# The values of zephyl_c.h this script was written against (ZEPHYL_VERSION_MAJOR 1): a call's own
# status codes (ZP_ERROR_*, from -101 down) share no value with a download's result codes.
ZEPHYL_VERSION_MAJOR = 1
ZP_OK = 0
ZP_RESULT_SUCCESS = 0
ZP_SETTING_THREAD_NUM = 14
ZP_REQUEST_SAVE_PATH = 2

ProgressCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int64,
                                    ctypes.c_int64)


def load_library():
    path = os.environ.get("ZEPHYL_LIBRARY") or ctypes.util.find_library("zephyl")
    if not path:
        sys.exit("zephyl_download: libzephyl not found; set ZEPHYL_LIBRARY to its path")
    library = ctypes.CDLL(path)
    handle = ctypes.c_void_p
    signatures = {
        "zp_status_text": (ctypes.c_char_p, [ctypes.c_int]),
        "zp_version": (ctypes.c_char_p, []),
        "zp_setting_create": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p,
                                             ctypes.POINTER(handle)]),
        "zp_setting_set_int": (ctypes.c_int, [handle, ctypes.c_int, ctypes.c_int64]),
        "zp_setting_free": (None, [handle]),
        "zp_manager_create": (ctypes.c_int, [handle, ctypes.POINTER(handle)]),
        "zp_manager_execute": (ctypes.c_int, [handle, handle, ctypes.POINTER(handle)]),
        "zp_manager_free": (ctypes.c_int, [handle]),
        "zp_request_create": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(handle)]),
        "zp_request_set_string": (ctypes.c_int, [handle, ctypes.c_int, ctypes.c_char_p]),
        "zp_request_set_callbacks": (ctypes.c_int, [handle, ctypes.c_void_p, ProgressCallback,
                                                    ctypes.c_void_p, ctypes.c_void_p]),
        "zp_request_free": (None, [handle]),
        "zp_response_get_codes": (ctypes.c_int, [handle, ctypes.POINTER(ctypes.c_int32),
                                                 ctypes.POINTER(ctypes.c_int32),
                                                 ctypes.POINTER(ctypes.c_int32)]),
        "zp_response_get_error_message": (ctypes.c_int, [handle,
                                                         ctypes.POINTER(ctypes.c_char_p)]),
        "zp_response_get_md5": (ctypes.c_int, [handle, ctypes.POINTER(ctypes.c_char_p)]),
        "zp_response_free": (None, [handle]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    # The C interface keeps its values within one major version; another major may differ.
    version = library.zp_version().decode()
    if int(version.split(".")[0]) != ZEPHYL_VERSION_MAJOR:
        sys.exit(f"zephyl_download: libzephyl {version} at {path}; this script needs "
                 f"{ZEPHYL_VERSION_MAJOR}.x")
    return library


def checked(library, status, what):
    if status != ZP_OK:
        raise RuntimeError(f"{what}: {library.zp_status_text(status).decode()}")


def download(library, url, output, storage, threads):
    setting, manager, request, response = (ctypes.c_void_p() for _ in range(4))
    os.makedirs(storage, exist_ok=True)
    save_dir = os.path.dirname(os.path.abspath(output))
    checked(library, library.zp_setting_create(storage.encode(), save_dir.encode(),
                                               ctypes.byref(setting)), "settings")
    try:
        checked(library, library.zp_setting_set_int(setting, ZP_SETTING_THREAD_NUM, threads),
                "--threads")
        checked(library, library.zp_manager_create(setting, ctypes.byref(manager)), "manager")
    finally:
        library.zp_setting_free(setting)

    shown = [-1]

    def on_progress(_user, _request_id, downloaded, total):
        # Runs on the library's transfer threads; ctypes takes the interpreter lock for it.
        if total > 0 and downloaded * 100 // total != shown[0]:
            shown[0] = downloaded * 100 // total
            print(f"progress {shown[0]}%", flush=True)

    progress = ProgressCallback(on_progress)  # kept alive until the download has ended
    try:
        checked(library, library.zp_request_create(url.encode(), ctypes.byref(request)),
                "request")
        checked(library, library.zp_request_set_string(request, ZP_REQUEST_SAVE_PATH,
                                                       os.path.abspath(output).encode()),
                "output")
        checked(library, library.zp_request_set_callbacks(request, None, progress, None, None),
                "callbacks")
        checked(library, library.zp_manager_execute(manager, request, ctypes.byref(response)),
                "download")
        result = ctypes.c_int32()
        error = ctypes.c_int32()
        checked(library, library.zp_response_get_codes(response, ctypes.byref(result),
                                                       ctypes.byref(error), None), "result")
        if result.value != ZP_RESULT_SUCCESS:
            message = ctypes.c_char_p()
            library.zp_response_get_error_message(response, ctypes.byref(message))
            print(f"failed: result {result.value}, error {error.value}: "
                  f"{message.value.decode(errors='replace')}")
            return 1
        md5 = ctypes.c_char_p()
        checked(library, library.zp_response_get_md5(response, ctypes.byref(md5)), "md5")
        print(f"saved {output}")
        print(f"md5 {md5.value.decode()}")
        return 0
    finally:
        library.zp_response_free(response)
        library.zp_request_free(request)
        checked(library, library.zp_manager_free(manager), "closing the manager")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("url")
    parser.add_argument("output")
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    parser.add_argument("--storage", default=os.path.join(cache, "zephyl-python"))
    parser.add_argument("--threads", type=int, default=4)
    arguments = parser.parse_args()
    try:
        return download(load_library(), arguments.url, arguments.output, arguments.storage,
                        arguments.threads)
    except RuntimeError as error:
        print(f"zephyl_download: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
