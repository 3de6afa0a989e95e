// ovark.utils.xferkit.plugins.localhost.ftp.xferkit - the FTP plugin of the
// localhost file transfer kit.
//
// XferKit is an ordinary class (made by calling the metaclass of its base, the
// localhost XferKit) whose methods are our function objects. Every operation is
// one FTP session of the interpreter's ftplib: parse the URL(s) through the base
// class, take the credentials from it, open the session as a context manager,
// connect, log in, run the command(s), close. Module globals (FTP, os, re, time,
// datetime, libstat, logger, urlsplit, urlunsplit, AttrDict,
// TimeLimitExceededOnFileTransfer, the listing patterns, filemode_to_mode) are
// read from the module when used, so that patching them works.
//
// stat reads a listing's date as UTC (calendar.timegm); a year-less (recent)
// date that would lie in the future belongs to the previous year. Only the
// first ten characters of the mode field carry mode bits: a trailing ACL,
// security-context or extended-attribute marker is left out.
//
// copyfile streams block by block: ftplib calls one of two closures per block
// (upload_cb, download_cb), which share one native per-call record with
// check_for_timeout. A block costs a counter increment and a comparison (and the
// write on download); the clock is read on every (PROGRESS_IGNORE_COUNT + 1)-th
// block only.
//
// A download never destroys the local file: the data goes to a temporary file
// beside it, which replaces it (os.replace) only once the transfer and the
// file's close have succeeded; any failure, Ctrl-C and the time limit included,
// removes the temporary file and leaves the target as it was, or absent. An
// OSError of the local side names the local file as the caller gave it, so that
// a caller can tell it from the remote side's errors.
//
// Sessions and local files are left as a `with` statement leaves them, except
// that an error raised while closing (a server answering QUIT with the reply of
// the aborted transfer) never replaces the error that ended the operation.
// Passwords are handed to ftplib's login only: no log line or message here
// carries one, and the URLs dir() returns show a password masked by the
// package's without_password. Their names are percent-quoted, as the base class
// decodes the paths of the URLs it is given.
#include "ovk/ovk.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

using namespace ovk;

namespace {

// Interned names: module globals read when used, attributes, methods and groups of the listing patterns.
// clang-format off
#define XFERKIT_NAMES(X)                                                                                               \
    X(FTP) X(os) X(re) X(time) X(datetime) X(libstat) X(logger) X(urlsplit) X(urlunsplit) X(AttrDict)                  \
    X(TimeLimitExceededOnFileTransfer) X(open) X(filemode_to_mode) X(DATETIME_PAT_RECENT)                              \
    X(DATETIME_PAT_NOT_RECENT) X(STAT_DIR_FORMAT_SCAN_PATTERN_RECENT) X(STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT)       \
    X(PROGRESS_IGNORE_COUNT) X(__module__) X(__enter__) X(__exit__) X(validate_and_parse_url) X(get_auth)              \
    X(connect) X(login) X(storbinary) X(retrbinary) X(nlst) X(dir) X(voidcmd) X(delete) X(rename) X(write)             \
    X(append) X(debug) X(path) X(basename) X(join) X(match) X(groupdict) X(strptime) X(timetuple)                      \
    X(_filemode_table) X(_normalize_filename) X(scheme) X(netloc) X(query) X(fragment) X(mode) X(num_links)            \
    X(owner) X(group) X(size) X(month) X(day) X(hour) X(minute) X(year) X(st_mode) X(st_nlink) X(st_uid)               \
    X(st_gid) X(st_size) X(st_mtime) X(copyfile) X(stat) X(chmod) X(deletefile) X(renamefile) X(realpath)              \
    X(dirname) X(replace) X(unlink) X(close) X(filename) X(filename2) X(cwd) X(rstrip) X(lstrip)
OVK_NAMES(XFERKIT_NAMES)
// clang-format on

struct State {
    Ref check_template, upload_template, download_template, dir_output_template;
    Ref copy_state_type, filemode_table, timegm;  // timegm: calendar.timegm
    Ref without_password, quote, error_perm;      // the package's URL masking; urllib.parse.quote; ftplib's
    Ref kw_connect, kw_login, kw_storbinary, kw_retrbinary, kw_delete, kw_rename, kw_normalize;
    Ref empty, slash, zero, mode_rb, mode_wb;
    Names names;
    auto refs() {
        return std::tie(check_template, upload_template, download_template, dir_output_template, copy_state_type,
                        filemode_table, timegm, without_password, quote, error_perm, kw_connect, kw_login,
                        kw_storbinary, kw_retrbinary, kw_delete, kw_rename, kw_normalize, empty, slash, zero, mode_rb,
                        mode_wb);
    }
    // stat._filemode_table as loaded, for filemode_to_mode's fast path.
    struct Pair {
        long bit;
        Py_UCS4 ch;
    };
    std::vector<std::vector<Pair>> table;
};

// ---------------------------------------------------------------- helpers

// The template with each "{}" replaced by format(value, ""), as str.format does.
Ref fmt(State& st, const char* tmpl, std::initializer_list<PyObject*> values) {
    Ref parts = own(PyList_New(0));
    const char* p = tmpl;
    auto v = values.begin();
    while (const char* at = std::strstr(p, "{}")) {
        check(PyList_Append(parts.get(), own(PyUnicode_FromStringAndSize(p, at - p)).get()));
        check(PyList_Append(parts.get(), own(PyObject_Format(*v++, st.empty.get())).get()));
        p = at + 2;
    }
    check(PyList_Append(parts.get(), own(PyUnicode_FromString(p)).get()));
    return own(PyUnicode_Join(st.empty.get(), parts.get()));
}

void debug(State& st, PyObject* module, PyObject* message, PyObject* arg = nullptr) {
    Ref logger = lookup(module, st.names[N_logger]);
    if (arg)
        call_method(st.names[N_debug], {logger.get(), message, arg});
    else
        call_method(st.names[N_debug], {logger.get(), message});
}

// A special method looked up on the type and bound to `obj`, as `with` does.
Ref special_method(PyObject* obj, PyObject* name) {
    PyObject* found = compat::type_lookup(Py_TYPE(obj), name);
    if (!found) return Ref();
    Ref keep = Ref::borrow(found);
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get)
        return own(get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return keep;
}

// with manager as entered: body(entered)
// An error leaving the body goes to __exit__ as in a with statement; if __exit__
// itself fails then, the body's error is the one that propagates.
template <class F>
void with_context(State& st, PyObject* manager, F&& body) {
    Ref enter = special_method(manager, st.names[N___enter__]);
    Ref exit = enter ? special_method(manager, st.names[N___exit__]) : Ref();
    if (!enter || !exit)
        raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
              Py_TYPE(manager)->tp_name);
    Ref entered = own(PyObject_CallNoArgs(enter.get()));
    try {
        body(entered.get());
    } catch (...) {
        set_error_from_current_exception();
        Ref value = take_error();
        Ref trace = Ref::steal(PyException_GetTraceback(value.get()));
        PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(value.get())), value.get(),
                            trace ? trace.get() : Py_None};
        Ref result = Ref::steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
        int suppress = result ? PyObject_IsTrue(result.get()) : 0;
        if (suppress > 0) return;
        PyErr_Clear();  // a failure to close never hides the body's error
        reraise(std::move(value));
    }
    PyObject* args[] = {Py_None, Py_None, Py_None};
    own(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
}

// server, port, path = self.validate_and_parse_url(url, operation)
struct Parsed {
    Ref server, port, path;
};

Parsed parse_url(State& st, PyObject* self, PyObject* url, PyObject* operation) {
    Ref result = call_method(st.names[N_validate_and_parse_url], {self, url, operation});
    auto items = unpack<3>(result.get());
    return {std::move(items[0]), std::move(items[1]), std::move(items[2])};
}

// A reported port, or 0 (the client's default) when the URL gave none.
Ref port_of(State& st, PyObject* parsed_port) { return truth(parsed_port) ? Ref::borrow(parsed_port) : st.zero; }

// One leading "/" off a remote path when asked.
Ref strip_slash(State& st, PyObject* path, PyObject* strip) {
    if (!truth(strip) || !truth(path)) return Ref::borrow(path);
    if (PyUnicode_Check(path)) {
        if (PyUnicode_READ_CHAR(path, 0) != '/') return Ref::borrow(path);
        return own(PyUnicode_Substring(path, 1, PyUnicode_GET_LENGTH(path)));
    }
    Ref first = own(PySequence_GetItem(path, 0));
    if (!check(PyObject_RichCompareBool(first.get(), st.slash.get(), Py_EQ))) return Ref::borrow(path);
    return own(PySequence_GetSlice(path, 1, PY_SSIZE_T_MAX));
}

// with FTP() as ftp_sess: connect, log in, body(ftp_sess)
template <class F>
void ftp_session(State& st, PyObject* module, PyObject* self, PyObject* server, PyObject* port, PyObject* timeout,
                 bool log_connect, F&& body) {
    Ref auth = call_method(st.names[N_get_auth], {self, server});
    auto [username, password] = unpack<2>(auth.get());
    Ref ftp_class = lookup(module, st.names[N_FTP]);
    Ref session = own(PyObject_CallNoArgs(ftp_class.get()));
    with_context(st, session.get(), [&](PyObject* ftp_sess) {
        if (log_connect)
            debug(st, module,
                  fmt(st, "Connecting to ftp host {} port {} with timeout {} ...", {server, port, timeout}).get());
        call_method(st.names[N_connect], {ftp_sess, server, port, timeout}, st.kw_connect.get());
        call_method(st.names[N_login], {ftp_sess, username.get(), password.get()}, st.kw_login.get());
        body(ftp_sess);
    });
}

// The connection sequence of the single-target operations.
template <class F>
void remote_operation(State& st, PyObject* module, PyObject* self, PyObject* target, PyObject* operation,
                      PyObject* timeout, PyObject* strip, F&& body) {
    Parsed p = parse_url(st, self, target, operation);
    Ref port = port_of(st, p.port.get());
    Ref path = strip_slash(st, p.path.get(), strip);
    ftp_session(st, module, self, p.server.get(), port.get(), timeout, false,
                [&](PyObject* ftp_sess) { body(ftp_sess, p.server.get(), path.get()); });
}

// ---------------------------------------------------------------- copyfile

// The per-call record shared by copyfile's three closures. The instance's
// PROGRESS_IGNORE_COUNT is read once per call, at the first block.
struct CopyState {
    PyObject_HEAD long long skipcount;
    long long ignore;  // PROGRESS_IGNORE_COUNT, when it is an int that fits
    int ignore_read;   // 0: not read yet, 1: `ignore` holds it, 2: `ignore_obj` holds it
    Ref ignore_obj, start_time, timeout, file, self;
    Ref local;  // the download's target as the caller named it: local errors name it
};

int copy_state_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<CopyState*>(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(s->ignore_obj.get());
    Py_VISIT(s->start_time.get());
    Py_VISIT(s->timeout.get());
    Py_VISIT(s->file.get());
    Py_VISIT(s->self.get());
    Py_VISIT(s->local.get());
    return 0;
}

int copy_state_clear(PyObject* o) {
    auto* s = reinterpret_cast<CopyState*>(o);
    s->ignore_obj.reset();
    s->start_time.reset();
    s->timeout.reset();
    s->file.reset();
    s->self.reset();
    s->local.reset();
    return 0;
}

PyType_Slot copy_state_slots[] = {
    {Py_tp_traverse, (void*)copy_state_traverse},
    {Py_tp_clear, (void*)copy_state_clear},
    {0, nullptr},
};

PyType_Spec copy_state_spec = {
    "ovark.utils.xferkit.plugins.localhost.ftp.xferkit._CopyState",
    sizeof(CopyState),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    copy_state_slots,
};

// progress_skipcount > self.PROGRESS_IGNORE_COUNT
bool past_ignore_count(State& st, CopyState* s) {
    if (s->ignore_read == 0) {
        Ref value = attr(s->self.get(), st.names[N_PROGRESS_IGNORE_COUNT]);
        int overflow = 0;
        long long n = PyLong_CheckExact(value.get()) ? PyLong_AsLongLongAndOverflow(value.get(), &overflow) : 0;
        if (PyLong_CheckExact(value.get()) && !overflow && !(n == -1 && PyErr_Occurred())) {
            s->ignore = n;
            s->ignore_read = 1;
        } else {
            PyErr_Clear();
            s->ignore_obj = std::move(value);
            s->ignore_read = 2;
        }
    }
    if (s->ignore_read == 1) return s->skipcount > s->ignore;
    Ref count = own(PyLong_FromLongLong(s->skipcount));
    return check(PyObject_RichCompareBool(count.get(), s->ignore_obj.get(), Py_GT));
}

// check_for_timeout(): count the block; on every (PROGRESS_IGNORE_COUNT + 1)-th
// one compare the time since login with the limit.
void check_for_timeout(State& st, PyObject* module, CopyState* s) {
    ++s->skipcount;
    if (!past_ignore_count(st, s)) return;
    s->skipcount = 0;
    Ref time_module = lookup(module, st.names[N_time]);
    Ref now = call_method(st.names[N_time], {time_module.get()});
    Ref elapsed = own(PyNumber_Subtract(now.get(), s->start_time.get()));
    if (!check(PyObject_RichCompareBool(elapsed.get(), s->timeout.get(), Py_GT))) return;
    Ref cls = lookup(module, st.names[N_TimeLimitExceededOnFileTransfer]);
    Ref exc = own(PyObject_CallNoArgs(cls.get()));
    raise(exc.get());
}

CopyState* copy_state_of(PyObject* check_fn) {
    return reinterpret_cast<CopyState*>(reinterpret_cast<FunctionObject*>(check_fn)->closure.get());
}

Ref check_for_timeout_impl(const Call& c) {
    check_for_timeout(c.state<State>(), c.module(), reinterpret_cast<CopyState*>(c.closure()));
    return Ref::borrow(Py_None);
}

// A callback's check, shown in tracebacks as a call of check_for_timeout.
void callback_check(const Call& c) {
    PyObject* check_fn = c.closure();
    try {
        check_for_timeout(c.state<State>(), c.module(), copy_state_of(check_fn));
    } catch (const Error&) {
        detail::add_traceback(reinterpret_cast<FunctionObject*>(check_fn));
        throw;
    }
}

Ref upload_cb(const Call& c) {
    callback_check(c);
    return Ref::borrow(Py_None);
}

// Inside a catch block: the error being handled, raised again; an OSError names
// `path`, the local file as the caller gave it (not the temporary file), so
// that it tells which side of a transfer failed.
[[noreturn]] void rethrow_local(State& st, PyObject* path) {
    set_error_from_current_exception();
    Ref exc = take_error();
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_OSError) &&
        (PyObject_SetAttr(exc.get(), st.names[N_filename], path) < 0 ||
         PyObject_SetAttr(exc.get(), st.names[N_filename2], Py_None) < 0))
        PyErr_Clear();  // an OSError subclass that refuses: keep it as it is
    reraise(std::move(exc));
}

// body(), its OSErrors naming the local file `path`.
template <class F>
auto local_step(State& st, PyObject* path, F&& body) {
    try {
        return body();
    } catch (...) {
        rethrow_local(st, path);
    }
}

Ref download_cb(const Call& c) {
    callback_check(c);
    State& st = c.state<State>();
    CopyState* s = copy_state_of(c.closure());
    local_step(st, s->local.get(), [&] { call_method(st.names[N_write], {s->file.get(), c[0]}); });
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------- the local side of a download

// Where a download writes. A regular file (or a name not yet taken) is never
// written in place: the data goes to a temporary file beside the file behind
// `target` (symbolic links followed), which replaces it once the transfer has
// completed. Anything else that exists (a device such as /dev/null, a pipe) is
// opened and written as it is; a directory fails to open as before.
struct DownloadTarget {
    Ref target;      // as the caller named it
    Ref final_path;  // the file the temporary one replaces
    Ref temp;        // empty: write `target` in place
    Ref mode;        // the existing file's permission bits, to give the new one
};

// A fresh, empty file of our own beside `final_path`: ".<name>.<random>.part",
// created exclusively. A new target is created with 0666 less the umask, as
// open() would create it; one that replaces an existing file is private until
// it is complete, then takes that file's bits.
Ref create_temp(State& st, PyObject* os, PyObject* final_path, bool replacing) {
    Ref path_module = attr(os, st.names[N_path]);
    Ref folder = call_method(st.names[N_dirname], {path_module.get(), final_path});
    Ref base = call_method(st.names[N_basename], {path_module.get(), final_path});
    Ref head = own(PySequence_GetSlice(base.get(), 0, 40));  // room for the rest within NAME_MAX
    bool as_bytes = PyBytes_Check(final_path);
    static thread_local std::mt19937_64 random{std::random_device{}()};
    int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    Ref flags_obj = own(PyLong_FromLong(flags)), mode = own(PyLong_FromLong(replacing ? 0600 : 0666));
    for (int attempt = 0;; ++attempt) {
        char tail[32];
        std::snprintf(tail, sizeof tail, ".%08llx.part", (unsigned long long)(random() & 0xffffffffULL));
        Ref dot = own(as_bytes ? PyBytes_FromString(".") : PyUnicode_FromString("."));
        Ref end = own(as_bytes ? PyBytes_FromString(tail) : PyUnicode_FromString(tail));
        Ref name = own(PyNumber_Add(own(PyNumber_Add(dot.get(), head.get())).get(), end.get()));
        Ref temp = call_method(st.names[N_join], {path_module.get(), folder.get(), name.get()});
        Ref fd = Ref::steal(
            PyObject_CallMethodObjArgs(os, st.names[N_open], temp.get(), flags_obj.get(), mode.get(), nullptr));
        if (fd) {
            call_method(st.names[N_close], {os, fd.get()});
            return temp;
        }
        if (attempt == 100 || !clear_if(PyExc_FileExistsError)) throw Error();
    }
}

DownloadTarget download_target(State& st, PyObject* module, PyObject* target) {
    DownloadTarget t{Ref::borrow(target), Ref::borrow(target), Ref(), Ref()};
    local_step(st, target, [&] {
        Ref os = lookup(module, st.names[N_os]);
        Ref info = Ref::steal(PyObject_CallMethodOneArg(os.get(), st.names[N_stat], target));
        if (info) {
            long st_mode = PyLong_AsLong(attr(info.get(), st.names[N_st_mode]).get());
            if (st_mode == -1 && PyErr_Occurred()) throw Error();
            if (!S_ISREG(st_mode)) return;  // written in place
            t.mode = own(PyLong_FromLong(st_mode & 07777));
        } else if (!clear_if(PyExc_FileNotFoundError)) {
            throw Error();
        }
        Ref path_module = attr(os.get(), st.names[N_path]);
        Ref trimmed = call_method(st.names[N_basename], {path_module.get(), target});
        if (!truth(trimmed.get())) return;  // "folder/" names no file: open() says so
        t.final_path = call_method(st.names[N_realpath], {path_module.get(), target});
        t.temp = create_temp(st, os.get(), t.final_path.get(), bool(t.mode));
    });
    return t;
}

// The transfer has completed: the new file takes the old one's place.
void commit(State& st, PyObject* module, DownloadTarget& t) {
    if (!t.temp) return;
    local_step(st, t.target.get(), [&] {
        Ref os = lookup(module, st.names[N_os]);
        if (t.mode) call_method(st.names[N_chmod], {os.get(), t.temp.get(), t.mode.get()});
        call_method(st.names[N_replace], {os.get(), t.temp.get(), t.final_path.get()});
    });
    t.temp.reset();
}

// The transfer failed: the partial file goes, the target stays as it was.
void discard(State& st, PyObject* module, DownloadTarget& t) {
    if (!t.temp) return;
    ErrorStash keep;  // the error that ended the transfer
    try {
        Ref os = lookup(module, st.names[N_os]);
        call_method(st.names[N_unlink], {os.get(), t.temp.get()});
    } catch (...) {
        set_error_from_current_exception();
        PyErr_Clear();  // never hides the error that ended the transfer
    }
    t.temp.reset();
}

Ref copyfile(const Call& c, PyObject* self, PyObject* source, PyObject* destination, PyObject* timeout, PyObject*,
             PyObject* upload, PyObject* strip, PyObject*) {
    State& st = c.state<State>();
    PyObject* module = c.module();

    auto* s = reinterpret_cast<CopyState*>(
        check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st.copy_state_type.get()), 0)));
    Ref record = Ref::steal(reinterpret_cast<PyObject*>(s));
    for (Ref* r : {&s->ignore_obj, &s->start_time, &s->timeout, &s->file, &s->self, &s->local}) new (r) Ref();
    s->skipcount = 0;
    s->timeout = Ref::borrow(timeout);
    s->file = Ref::borrow(Py_None);
    s->self = Ref::borrow(self);
    Ref check_fn = make_closure(st.check_template.get(), record);
    Ref upload_fn = make_closure(st.upload_template.get(), check_fn);
    Ref download_fn = make_closure(st.download_template.get(), check_fn);

    Parsed from = parse_url(st, self, source, st.names[N_copyfile]);
    Parsed to = parse_url(st, self, destination, st.names[N_copyfile]);
    bool is_upload = truth(upload);
    Parsed& remote = is_upload ? to : from;
    Ref port = port_of(st, remote.port.get());
    remote.path = strip_slash(st, remote.path.get(), strip);

    ftp_session(st, module, self, remote.server.get(), port.get(), timeout, true, [&](PyObject* ftp_sess) {
        Ref time_module = lookup(module, st.names[N_time]);
        s->start_time = call_method(st.names[N_time], {time_module.get()});
        Ref open = lookup(module, st.names[N_open]);
        if (is_upload) {
            debug(st, module,
                  fmt(st, "Copying local file {} to remote location {} ...", {from.path.get(), to.path.get()}).get());
            Ref file = own(PyObject_CallFunctionObjArgs(open.get(), from.path.get(), st.mode_rb.get(), nullptr));
            with_context(st, file.get(), [&](PyObject* fp) {
                s->file = Ref::borrow(fp);
                Ref cmd = fmt(st, "STOR {}", {to.path.get()});
                call_method(st.names[N_storbinary], {ftp_sess, cmd.get(), fp, upload_fn.get()}, st.kw_storbinary.get());
            });
        } else {
            debug(st, module,
                  fmt(st, "Copying remote file {} to local location {} ...", {from.path.get(), to.path.get()}).get());
            PyObject* local = to.path.get();
            s->local = to.path;
            DownloadTarget target = download_target(st, module, local);
            try {
                PyObject* written = target.temp ? target.temp.get() : local;
                Ref file = local_step(st, local, [&] {
                    return own(PyObject_CallFunctionObjArgs(open.get(), written, st.mode_wb.get(), nullptr));
                });
                bool received = false;
                try {
                    with_context(st, file.get(), [&](PyObject* fp) {
                        s->file = Ref::borrow(fp);
                        Ref cmd = fmt(st, "RETR {}", {from.path.get()});
                        call_method(st.names[N_retrbinary], {ftp_sess, cmd.get(), download_fn.get()},
                                    st.kw_retrbinary.get());
                        received = true;
                    });
                } catch (...) {
                    if (received) rethrow_local(st, local);  // the file failed to close
                    throw;
                }
                commit(st, module, target);
            } catch (...) {
                set_error_from_current_exception();
                discard(st, module, target);
                throw Error();
            }
        }
    });
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------- listings

Ref filemode_to_mode(const Call& c) {
    State& st = c.state<State>();
    PyObject* filemode = c[0];
    Ref libstat = lookup(c.module(), st.names[N_libstat]);
    Ref table = attr(libstat.get(), st.names[N__filemode_table]);
    if (table.get() == st.filemode_table.get() && PyUnicode_Check(filemode) &&
        PyUnicode_GET_LENGTH(filemode) <= (Py_ssize_t)st.table.size()) {
        long mode = 0;
        for (Py_ssize_t idx = 0; idx < PyUnicode_GET_LENGTH(filemode); ++idx) {
            Py_UCS4 ch = PyUnicode_READ_CHAR(filemode, idx);
            for (const auto& pair : st.table[idx])
                if (pair.ch == ch) {
                    mode |= pair.bit;
                    break;
                }
        }
        return own(PyLong_FromLong(mode));
    }
    // Any table, any sequence of characters: as the loop reads in interpreter code.
    Ref mode = st.zero;
    Py_ssize_t length = check(PyObject_Length(filemode));
    for (Py_ssize_t idx = 0; idx < length; ++idx) {
        Ref index = own(PyLong_FromSsize_t(idx));
        Ref row = own(PyObject_GetItem(table.get(), index.get()));
        Ref ch = own(PyObject_GetItem(filemode, index.get()));
        Ref found;
        for_each(row.get(), [&](PyObject* pair) {
            if (found) return;
            auto [bit, pair_ch] = unpack<2>(pair);
            if (check(PyObject_RichCompareBool(pair_ch.get(), ch.get(), Py_EQ))) found = bit;
        });
        if (found) mode = own(PyNumber_Or(mode.get(), found.get()));
    }
    return mode;
}

Ref normalize_filename(const Call& c, PyObject*, PyObject* filename, PyObject* parent_path) {
    State& st = c.state<State>();
    Ref os = lookup(c.module(), st.names[N_os]);
    Ref path = attr(os.get(), st.names[N_path]);
    Ref normalized = call_method(st.names[N_basename], {path.get(), filename});
    if (!truth(normalized.get())) return Ref::borrow(filename);
    return call_method(st.names[N_join], {path.get(), st.slash.get(), parent_path, normalized.get()});
}

// Whether NLST answered with the listed path itself: some servers (vsftpd)
// answer NLST of a file with the file's own path, which is then listed once.
// A path of one component is ambiguous, as a server that answers with bare
// names answers the same for a folder holding one entry of its own name: the
// folder, unlike a file, can be entered.
bool answers_with_the_path(State& st, PyObject* ftp_sess, PyObject* files, PyObject* path) {
    if (!PyList_CheckExact(files) || PyList_GET_SIZE(files) != 1 || !PyUnicode_Check(path)) return false;
    Ref entry = Ref::borrow(PyList_GET_ITEM(files, 0));
    if (!PyUnicode_Check(entry.get())) return false;
    Ref listed = call_method(st.names[N_lstrip], {path, st.slash.get()});
    Ref answered = call_method(st.names[N_lstrip], {entry.get(), st.slash.get()});
    if (PyUnicode_GET_LENGTH(listed.get()) == 0 || PyUnicode_Compare(listed.get(), answered.get()) != 0) {
        if (PyErr_Occurred()) throw Error();
        return false;
    }
    if (PyUnicode_FindChar(listed.get(), '/', 0, PyUnicode_GET_LENGTH(listed.get()), 1) >= 0) return true;
    Ref cwd = optional_attr(ftp_sess, st.names[N_cwd]);
    if (!cwd) return true;
    Ref entered = Ref::steal(PyObject_CallOneArg(cwd.get(), path));
    if (entered) return false;
    if (!clear_if(st.error_perm.get())) throw Error();
    return true;
}

Ref dir(const Call& c, PyObject* self, PyObject* target, PyObject* timeout, PyObject*, PyObject* strip, PyObject*) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    Ref files, path;
    bool itself = false;
    remote_operation(st, module, self, target, st.names[N_dir], timeout, strip,
                     [&](PyObject* ftp_sess, PyObject*, PyObject* remote_path) {
                         path = Ref::borrow(remote_path);
                         files = call_method(st.names[N_nlst], {ftp_sess, remote_path});
                         itself = answers_with_the_path(st, ftp_sess, files.get(), remote_path);
                     });
    Ref urlsplit = lookup(module, st.names[N_urlsplit]);
    Ref urlunsplit = lookup(module, st.names[N_urlunsplit]);
    Ref parts = own(PyObject_CallOneArg(urlsplit.get(), target));
    Ref scheme = attr(parts.get(), st.names[N_scheme]), netloc = attr(parts.get(), st.names[N_netloc]);
    Ref query = attr(parts.get(), st.names[N_query]), fragment = attr(parts.get(), st.names[N_fragment]);
    Ref result = own(PyList_New(0));
    // Names percent-quoted, so that each URL given back to copyfile names the
    // entry; a password in the listed URL is masked.
    auto add = [&](PyObject* name) {
        Ref quoted = own(PyObject_CallOneArg(st.quote.get(), name));
        Ref five = own(PyTuple_Pack(5, scheme.get(), netloc.get(), quoted.get(), query.get(), fragment.get()));
        Ref url = own(PyObject_CallOneArg(urlunsplit.get(), five.get()));
        check(PyList_Append(result.get(), own(PyObject_CallOneArg(st.without_password.get(), url.get())).get()));
    };
    if (itself) {
        Ref name =
            own(PyUnicode_Concat(st.slash.get(), call_method(st.names[N_lstrip], {path.get(), st.slash.get()}).get()));
        add(name.get());
        return result;
    }
    for_each(files.get(), [&](PyObject* file) {
        add(call_method(st.names[N__normalize_filename], {self, file, path.get()}, st.kw_normalize.get()).get());
    });
    return result;
}

Ref dir_output_callback(const Call& c) {
    State& st = c.state<State>();
    PyObject* output = c.closure();
    if (PyList_CheckExact(output))
        check(PyList_Append(output, c[0]));
    else
        call_method(st.names[N_append], {output, c[0]});
    return Ref::borrow(Py_None);
}

// int(text), or the text itself when it is not a number.
Ref int_or_text(PyObject* text) {
    if (text == Py_None) return Ref::borrow(Py_None);  // a listing without a group column
    Ref number = Ref::steal(PyNumber_Long(text));
    if (number) return number;
    if (!clear_if(PyExc_ValueError)) throw Error();
    return Ref::borrow(text);
}

// calendar.timegm(datetime.datetime.strptime(text, <global pattern>).timetuple()):
// the listing's time read as UTC. An empty Ref when strptime refuses the text.
Ref listing_time(State& st, PyObject* module, Ref text, PyObject* pattern_name, bool allow_invalid) {
    Ref datetime_module = lookup(module, st.names[N_datetime]);
    Ref datetime_class = attr(datetime_module.get(), st.names[N_datetime]);
    Ref pattern = lookup(module, pattern_name);
    Ref parsed = Ref::steal(
        PyObject_CallMethodObjArgs(datetime_class.get(), st.names[N_strptime], text.get(), pattern.get(), nullptr));
    if (!parsed) {
        if (allow_invalid && clear_if(PyExc_ValueError)) return Ref();
        throw Error();
    }
    Ref tuple = call_method(st.names[N_timetuple], {parsed.get()});
    return own(PyObject_CallOneArg(st.timegm.get(), tuple.get()));
}

// os.path.basename(a.rstrip("/")) == os.path.basename(b.rstrip("/"))
bool same_base_name(State& st, PyObject* module, PyObject* a, PyObject* b) {
    Ref os = lookup(module, st.names[N_os]);
    Ref path_module = attr(os.get(), st.names[N_path]);
    auto base = [&](PyObject* name) {
        Ref trimmed = call_method(st.names[N_rstrip], {name, st.slash.get()});
        return call_method(st.names[N_basename], {path_module.get(), trimmed.get()});
    };
    Ref base_a = base(a), base_b = base(b);
    return check(PyObject_RichCompareBool(base_a.get(), base_b.get(), Py_EQ));
}

Ref stat(const Call& c, PyObject* self, PyObject* target, PyObject* timeout, PyObject*, PyObject* strip, PyObject*) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    Ref dir_output = own(PyList_New(0));
    Ref callback = make_closure(st.dir_output_template.get(), dir_output);
    Ref server_name, path;
    remote_operation(st, module, self, target, st.names[N_stat], timeout, strip,
                     [&](PyObject* ftp_sess, PyObject* server, PyObject* remote_path) {
                         server_name = Ref::borrow(server);
                         path = Ref::borrow(remote_path);
                         call_method(st.names[N_dir], {ftp_sess, remote_path, callback.get()});
                     });
    Py_ssize_t lines = PyList_GET_SIZE(dir_output.get());
    if (lines > 1) raise(PyExc_Exception, "More than one result was found, did you request a stat of a directory ?");
    if (lines == 0)
        raise(PyExc_Exception, "%U", fmt(st, "File {} not found on server {}.", {path.get(), server_name.get()}).get());
    // Held before the log: a logging handler is handed the list and may change it.
    Ref line_ref = Ref::borrow(PyList_GET_ITEM(dir_output.get(), 0));
    PyObject* line = line_ref.get();
    debug(st, module, dir_output.get());

    Ref re = lookup(module, st.names[N_re]);
    Ref message = own(PyUnicode_FromString("Checking for files matching pattern %s"));
    bool recent = true;
    Ref pattern = lookup(module, st.names[N_STAT_DIR_FORMAT_SCAN_PATTERN_RECENT]);
    debug(st, module, message.get(), pattern.get());
    Ref match = call_method(st.names[N_match], {re.get(), pattern.get(), line});
    if (match.get() == Py_None) {
        recent = false;
        pattern = lookup(module, st.names[N_STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT]);
        debug(st, module, message.get(), pattern.get());
        match = call_method(st.names[N_match], {re.get(), pattern.get(), line});
        if (match.get() == Py_None)
            raise(PyExc_Exception, "%U",
                  fmt(st, "File {} was not found on remote server {}.", {path.get(), server_name.get()}).get());
    }
    Ref groups = call_method(st.names[N_groupdict], {match.get()});
    auto group = [&](PyObject* name) {
        Ref v = dict_get(groups.get(), name);
        return v ? v : Ref::borrow(Py_None);
    };
    // The one line must be the requested file's own: LIST of a folder holding
    // a single entry answers with that entry's line.
    Ref listed_name = group(st.names[N_filename]);
    if (listed_name.get() != Py_None && !same_base_name(st, module, listed_name.get(), path.get()))
        raise(PyExc_Exception, "%U",
              fmt(st, "File {} was not found on remote server {}.", {path.get(), server_name.get()}).get());

    Ref result = own(PyObject_CallNoArgs(lookup(module, st.names[N_AttrDict]).get()));
    // Only the type letter and the nine permission letters: a trailing ACL,
    // security-context or extended-attribute marker carries no mode bits.
    Ref mode_text = group(st.names[N_mode]);
    Ref mode_field = own(PySequence_GetSlice(mode_text.get(), 0, 10));
    Ref to_mode = lookup(module, st.names[N_filemode_to_mode]);
    set_attr(result.get(), st.names[N_st_mode], own(PyObject_CallOneArg(to_mode.get(), mode_field.get())).get());
    set_attr(result.get(), st.names[N_st_nlink], own(PyNumber_Long(group(st.names[N_num_links]).get())).get());
    set_attr(result.get(), st.names[N_st_uid], int_or_text(group(st.names[N_owner]).get()).get());
    set_attr(result.get(), st.names[N_st_gid], int_or_text(group(st.names[N_group]).get()).get());
    set_attr(result.get(), st.names[N_st_size], own(PyNumber_Long(group(st.names[N_size]).get())).get());

    Ref mtime;
    if (recent) {
        // No year in the line: this year's date, or last year's when that one
        // lies in the future (or does not exist, as Feb 29 of a common year).
        Ref time_module = lookup(module, st.names[N_time]);
        Ref now = call_method(st.names[N_time], {time_module.get()});
        double now_seconds = PyFloat_AsDouble(now.get());
        if (now_seconds == -1.0 && PyErr_Occurred()) throw Error();
        std::time_t now_t = (std::time_t)now_seconds;
        std::tm utc{};
        gmtime_r(&now_t, &utc);
        long year = utc.tm_year + 1900L;
        auto text = [&](long y) {
            return own(PyUnicode_FromFormat("%U %U %U:%U %ld", group(st.names[N_month]).get(),
                                            group(st.names[N_day]).get(), group(st.names[N_hour]).get(),
                                            group(st.names[N_minute]).get(), y));
        };
        mtime = listing_time(st, module, text(year), st.names[N_DATETIME_PAT_RECENT], true);
        if (!mtime || check(PyObject_RichCompareBool(mtime.get(), now.get(), Py_GT)))
            mtime = listing_time(st, module, text(year - 1), st.names[N_DATETIME_PAT_RECENT], false);
    } else {
        Ref text = own(PyUnicode_FromFormat("%U %U %U", group(st.names[N_month]).get(), group(st.names[N_day]).get(),
                                            group(st.names[N_year]).get()));
        mtime = listing_time(st, module, text, st.names[N_DATETIME_PAT_NOT_RECENT], false);
    }
    set_attr(result.get(), st.names[N_st_mtime], mtime.get());
    return result;
}

Ref chmod(const Call& c, PyObject* self, PyObject* target, PyObject* mode, PyObject* timeout, PyObject*,
          PyObject* strip, PyObject*) {
    State& st = c.state<State>();
    remote_operation(st, c.module(), self, target, st.names[N_chmod], timeout, strip,
                     [&](PyObject* ftp_sess, PyObject*, PyObject* path) {
                         Ref octal = own(PyNumber_ToBase(mode, 8));
                         Ref digits = own(PyUnicode_Substring(octal.get(), 2, PyUnicode_GET_LENGTH(octal.get())));
                         Ref command = fmt(st, "SITE CHMOD {} {}", {digits.get(), path});
                         call_method(st.names[N_voidcmd], {ftp_sess, command.get()});
                     });
    return Ref::borrow(Py_None);
}

Ref deletefile(const Call& c, PyObject* self, PyObject* target, PyObject* timeout, PyObject*, PyObject* strip,
               PyObject*) {
    State& st = c.state<State>();
    remote_operation(st, c.module(), self, target, st.names[N_deletefile], timeout, strip,
                     [&](PyObject* ftp_sess, PyObject*, PyObject* path) {
                         call_method(st.names[N_delete], {ftp_sess, path}, st.kw_delete.get());
                     });
    return Ref::borrow(Py_None);
}

Ref renamefile(const Call& c, PyObject* self, PyObject* source, PyObject* destination, PyObject* timeout, PyObject*,
               PyObject* strip, PyObject*) {
    State& st = c.state<State>();
    Parsed from = parse_url(st, self, source, st.names[N_renamefile]);
    Ref from_port = port_of(st, from.port.get());
    Ref from_path = strip_slash(st, from.path.get(), strip);
    Parsed to = parse_url(st, self, destination, st.names[N_renamefile]);
    Ref to_port = port_of(st, to.port.get());
    Ref to_path = strip_slash(st, to.path.get(), strip);
    if (check(PyObject_RichCompareBool(from.server.get(), to.server.get(), Py_NE)))
        raise(PyExc_Exception, "%U",
              fmt(st, "xferkit module {} requires from/to files to be renamed to have the same server.",
                  {attr(self, st.names[N___module__]).get()})
                  .get());
    if (check(PyObject_RichCompareBool(from_port.get(), to_port.get(), Py_NE)))
        raise(PyExc_Exception, "%U",
              fmt(st, "xferkit module {} requires from/to files to be renamed to have the same port.",
                  {attr(self, st.names[N___module__]).get()})
                  .get());
    ftp_session(st, c.module(), self, from.server.get(), from_port.get(), timeout, false, [&](PyObject* ftp_sess) {
        call_method(st.names[N_rename], {ftp_sess, from_path.get(), to_path.get()}, st.kw_rename.get());
    });
    return Ref::borrow(Py_None);
}

Ref getspace(const Call& c) {
    State& st = c.state<State>();
    raise(PyExc_NotImplementedError, "%U",
          fmt(st, "The xferkit module {} does not implement getspace.", {attr(c[0], st.names[N___module__]).get()})
              .get());
}

// ---------------------------------------------------------------- definitions

const FuncDef check_for_timeout_def{"check_for_timeout", "()",
                                    "Count one block; every PROGRESS_IGNORE_COUNT + 1 blocks, raise\n"
                                    "TimeLimitExceededOnFileTransfer when the transfer has run past its time limit.",
                                    check_for_timeout_impl};
const FuncDef upload_cb_def{"upload_cb", "(data)", "Called by storbinary after each block sent.", upload_cb};
const FuncDef download_cb_def{"download_cb", "(data)", "Called by retrbinary with each block received: write it.",
                              download_cb};
const FuncDef dir_output_callback_def{"dir_output_callback", "(data)", "Collect one listing line.",
                                      dir_output_callback};

const FuncDef filemode_to_mode_def{"filemode_to_mode", "(filemode)",
                                   "Convert a filemode string to an os.stat.st_mode style number.\n\n"
                                   "    >>> import stat\n"
                                   "    >>> stat.filemode(filemode_to_mode('-rw-r--r--'))\n"
                                   "    '-rw-r--r--'\n",
                                   filemode_to_mode};

const FuncDef copyfile_def{
    "copyfile", "(self, source, destination, timeout_seconds, *args, upload, strip_leading_slash=True, **kwargs)",
    "Copy a local file to the FTP server (upload true) or a remote file to the\n"
    "local file system (upload false).\n\n"
    "timeout_seconds is the socket time-out of the connection and the limit of the\n"
    "transfer itself: past it, TimeLimitExceededOnFileTransfer is raised. One\n"
    "leading \"/\" is stripped from the remote path unless strip_leading_slash is false.\n\n"
    "A download replaces the local file only once it is complete: a failed one\n"
    "leaves the local file as it was.",
    params<copyfile>};
const FuncDef normalize_filename_def{"_normalize_filename", "(self, filename, parent_path)",
                                     "The base name of filename under \"/\" and parent_path; filename itself when its\n"
                                     "base name is empty.",
                                     params<normalize_filename>};
const FuncDef dir_def{"dir", "(self, target, timeout_seconds, *args, strip_leading_slash=True, **kwargs)",
                      "List a remote directory: one URL per entry, in the server's order.", params<dir>};
const FuncDef stat_def{"stat", "(self, target, timeout_seconds, *args, strip_leading_slash=True, **kwargs)",
                       "Status of one remote file, read from its directory-listing line: an AttrDict\n"
                       "with st_mode, st_nlink, st_uid, st_gid, st_size and st_mtime.",
                       params<stat>};
const FuncDef chmod_def{"chmod", "(self, target, mode, timeout_seconds, *args, strip_leading_slash=True, **kwargs)",
                        "Change the mode of a remote file (SITE CHMOD).", params<chmod>};
const FuncDef deletefile_def{"deletefile", "(self, target, timeout_seconds, *args, strip_leading_slash=True, **kwargs)",
                             "Delete a remote file.", params<deletefile>};
const FuncDef renamefile_def{
    "renamefile", "(self, source, destination, timeout_seconds, *args, strip_leading_slash=True, **kwargs)",
    "Rename a remote file; source and destination must name the same server and port.", params<renamefile>};
const FuncDef getspace_def{"getspace", "(self, target, timeout_seconds, *args, **kwargs)",
                           "Not supported over FTP: raises NotImplementedError.", getspace};

const char* const RECENT_PATTERN =
    "\\s*(?P<mode>\\S+)\\s+(?P<num_links>\\d+)\\s+(?P<owner>\\w+)(\\s+(?P<group>\\w+))?\\s+(?P<size>\\d+)\\s+"
    "(?P<month>[A-Za-z]{3})\\s+(?P<day>\\d+)\\s+(?P<hour>\\d+):(?P<minute>\\d+)\\s*(?P<filename>\\S+)\\s*$";
const char* const NOT_RECENT_PATTERN =
    "\\s*(?P<mode>\\S+)\\s+(?P<num_links>\\d+)\\s+(?P<owner>\\w+)\\s+(?P<group>\\w+)\\s+(?P<size>\\d+)\\s+"
    "(?P<month>[A-Za-z]{3})\\s+(?P<day>\\d+)\\s+(?P<year>\\d{4})\\s*(?P<filename>\\S+)\\s*$";

void load_filemode_table(State& st) {
    for_each(st.filemode_table.get(), [&](PyObject* row) {
        std::vector<State::Pair> pairs;
        for_each(row, [&](PyObject* pair) {
            auto [bit, ch] = unpack<2>(pair);
            long b = PyLong_AsLong(bit.get());
            if (b == -1 && PyErr_Occurred()) throw Error();
            if (!PyUnicode_Check(ch.get()) || PyUnicode_GET_LENGTH(ch.get()) != 1)
                raise(PyExc_TypeError, "stat._filemode_table holds a pair this module cannot read");
            pairs.push_back({b, PyUnicode_READ_CHAR(ch.get(), 0)});
        });
        st.table.push_back(std::move(pairs));
    });
}

void exec(PyObject* module, State& st) {
    st.names.init();
    for (const char* name : {"os", "re", "time", "datetime", "logging"}) add_object(module, name, import_module(name));
    st.timegm = import_from("calendar", "timegm");
    Ref libstat = import_module("stat");
    add_object(module, "libstat", libstat);
    add_object(module, "FTP", import_from("ftplib", "FTP"));
    st.error_perm = import_from("ftplib", "error_perm");
    add_object(module, "urlsplit", import_from("urllib.parse", "urlsplit"));
    add_object(module, "urlunsplit", import_from("urllib.parse", "urlunsplit"));
    add_object(module, "AttrDict", import_from("ovark.datastructures", "AttrDict"));
    add_object(module, "TimeLimitExceededOnFileTransfer",
               import_from("ovark.utils.xferkit.exceptions", "TimeLimitExceededOnFileTransfer"));
    Ref base = import_from("ovark.utils.xferkit.plugins.localhost", "XferKit");
    st.without_password = import_from("ovark.utils.xferkit.plugins.localhost", "without_password");
    st.quote = import_from("urllib.parse", "quote");
    add_object(module, "XferKitLinuxBase", base);
    Ref logging = own(PyObject_GetAttrString(module, "logging"));
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));
    add_object(module, "DATETIME_PAT_RECENT", own(PyUnicode_FromString("%b %d %H:%M %Y")));
    add_object(module, "STAT_DIR_FORMAT_SCAN_PATTERN_RECENT", own(PyUnicode_FromString(RECENT_PATTERN)));
    add_object(module, "DATETIME_PAT_NOT_RECENT", own(PyUnicode_FromString("%b %d %Y")));
    add_object(module, "STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT", own(PyUnicode_FromString(NOT_RECENT_PATTERN)));

    st.empty = intern("");
    st.slash = intern("/");
    st.mode_rb = intern("rb");
    st.mode_wb = intern("wb");
    st.zero = own(PyLong_FromLong(0));
    st.kw_connect = interned_tuple({"host", "port", "timeout"});
    st.kw_login = interned_tuple({"user", "passwd"});
    st.kw_storbinary = interned_tuple({"cmd", "fp", "callback"});
    st.kw_retrbinary = interned_tuple({"cmd", "callback"});
    st.kw_delete = interned_tuple({"filename"});
    st.kw_rename = interned_tuple({"fromname", "toname"});
    st.kw_normalize = interned_tuple({"filename", "parent_path"});
    st.filemode_table = attr(libstat.get(), st.names[N__filemode_table]);
    load_filemode_table(st);
    st.copy_state_type = new_type(module, &copy_state_spec, nullptr);
    st.check_template = make_function(module, check_for_timeout_def, "XferKit.copyfile.<locals>");
    st.upload_template = make_function(module, upload_cb_def, "XferKit.copyfile.<locals>");
    st.download_template = make_function(module, download_cb_def, "XferKit.copyfile.<locals>");
    st.dir_output_template = make_function(module, dir_output_callback_def, "XferKit.stat.<locals>");

    add_functions(module, {&filemode_to_mode_def});
    Ref bases = own(PyTuple_Pack(1, base.get()));
    add_object(module, "XferKit",
               new_class(module, "XferKit", bases.get(),
                         "File utilities of the localhost kit for FTP servers (Linux listings).",
                         {value("PROGRESS_IGNORE_COUNT", own(PyLong_FromLong(30))), method(copyfile_def),
                          method(normalize_filename_def), method(dir_def), method(stat_def), method(chmod_def),
                          method(deletefile_def), method(renamefile_def), method(getspace_def)}));
}

}  // namespace

OVK_MODULE(State, exec,
           " File utilities class for FTP on Linux servers.\n\n"
           "Operations of the base class that the FTP protocol does not support are expected\n"
           "to be overridden here so that they raise NotImplementedError, as getspace does.\n")
