// ovark.utils.intr_traps - make the first Ctrl-C only warn.
//
// enable_double_ctrl_c() installs a one-shot SIGINT handler; it swallows the
// first SIGINT, tells the callback, and puts the interpreter's default handler
// back so that the next Ctrl-C raises KeyboardInterrupt. Every global (logger,
// os, signal, restore_sigint_handler) is read from the module when used.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

// clang-format off
#define TRAPS_NAMES(X)                                                                                  \
    X(logger) X(os) X(signal) X(restore_sigint_handler) X(debug) X(warning) X(getpid) X(SIGINT)         \
    X(default_int_handler) X(SIG_DFL)
OVK_NAMES(TRAPS_NAMES)
// clang-format on

struct State {
    Ref handler_template;  // enable_double_ctrl_c.<locals>.sigint_handler
    Names names;
    auto refs() { return std::tie(handler_template); }
};

void log(State& st, PyObject* module, Name level, const char* message, PyObject* arg = nullptr) {
    Ref logger = lookup(module, st.names[N_logger]);
    Ref text = own(PyUnicode_FromString(message));
    if (arg)
        call_method(st.names[level], {logger.get(), text.get(), arg});
    else
        call_method(st.names[level], {logger.get(), text.get()});
}

// signal.signal(signal.SIGINT, handler)
void install_sigint(State& st, PyObject* signal, PyObject* handler) {
    Ref signum = attr(signal, st.names[N_SIGINT]);
    call_method(st.names[N_signal], {signal, signum.get(), handler});
}

void set_sigint(State& st, PyObject* module, PyObject* handler) {
    Ref signal = lookup(module, st.names[N_signal]);
    install_sigint(st, signal.get(), handler);
}

// The handler is signal.<handler_name>.
void set_sigint(State& st, PyObject* module, Name handler_name) {
    Ref signal = lookup(module, st.names[N_signal]);
    Ref handler = attr(signal.get(), st.names[handler_name]);
    install_sigint(st, signal.get(), handler.get());
}

Ref sigint_handler(const Call& c, PyObject* /*signum*/, PyObject* frame) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    Ref os = lookup(module, st.names[N_os]);
    Ref pid = call_method(st.names[N_getpid], {os.get()});
    log(st, module, N_debug, "PID-%s received CTRL-C (SIGINT): hit CTRL-C again to fully interrupt this process",
        pid.get());
    PyObject* callback = c.closure();
    if (truth(callback)) own(PyObject_CallOneArg(callback, frame));
    own(PyObject_CallNoArgs(lookup(module, st.names[N_restore_sigint_handler]).get()));
    return Ref::borrow(Py_None);
}

Ref enable_double_ctrl_c(const Call& c) {
    State& st = c.state<State>();
    Ref handler = make_closure(st.handler_template.get(), Ref::borrow(c[0]));
    set_sigint(st, c.module(), handler.get());
    return Ref::borrow(Py_None);
}

Ref restore_sigint_handler(const Call& c) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    log(st, module, N_debug, "Resetting SIGINT handler");
    try {
        set_sigint(st, module, N_default_int_handler);
    } catch (const Error&) {
        PyErr_Clear();  // whatever failed, fall back to the OS default
        log(st, module, N_warning, "Failed to re-use signal.default_int_handler");
        log(st, module, N_warning, "Reverting to signal.SIG_DFL instead...");
        set_sigint(st, module, N_SIG_DFL);
    }
    return Ref::borrow(Py_None);
}

const FuncDef sigint_handler_def{
    "sigint_handler",
    "(signum, frame)",
    "Swallow this SIGINT, tell the callback, and restore the default handler.",
    params<sigint_handler>,
};

const FuncDef enable_def{
    "enable_double_ctrl_c",
    "(callback=None)",
    "Make the process quit only on the second Ctrl-C.\n\n"
    "The first SIGINT is swallowed: it is logged, callback(frame) is called when\n"
    "a callback is given, and the default handler is put back, so that the next\n"
    "Ctrl-C raises KeyboardInterrupt as usual.",
    enable_double_ctrl_c,
};

const FuncDef restore_def{
    "restore_sigint_handler",
    "()",
    "Put the interpreter's default SIGINT handler (KeyboardInterrupt) back.\n\n"
    "Falls back to the operating system default, signal.SIG_DFL, when that fails.",
    restore_sigint_handler,
};

void exec(PyObject* module, State& st) {
    st.names.init();
    Ref logging = import_module("logging");
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logging", logging);
    add_object(module, "os", import_module("os"));
    add_object(module, "signal", import_module("signal"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));
    st.handler_template = make_function(module, sigint_handler_def, "enable_double_ctrl_c.<locals>");
    add_functions(module, {&enable_def, &restore_def});
}

}  // namespace

OVK_MODULE(State, exec, "Double Ctrl-C: make the first SIGINT only warn.")
