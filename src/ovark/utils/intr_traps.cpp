// ovark.utils.intr_traps - make the first Ctrl-C only warn.
//
// enable_double_ctrl_c() installs a one-shot SIGINT handler; it swallows the
// first SIGINT, tells the callback, and puts the interpreter's default handler
// back so that the next Ctrl-C raises KeyboardInterrupt. Every global (logger,
// os, signal, restore_sigint_handler) is read from the module when used.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

struct State {
    Ref handler_template;  // enable_double_ctrl_c.<locals>.sigint_handler
    Ref logger, os, signal, restore_sigint_handler;
    Ref debug, warning, getpid, SIGINT, default_int_handler, SIG_DFL;
    auto refs() {
        return std::tie(handler_template, logger, os, signal, restore_sigint_handler, debug, warning, getpid, SIGINT,
                        default_int_handler, SIG_DFL);
    }
};

void log(State& st, PyObject* module, PyObject* level, const char* message, PyObject* arg = nullptr) {
    Ref logger = lookup(module, st.logger.get());
    Ref text = own(PyUnicode_FromString(message));
    PyObject* args[] = {logger.get(), text.get(), arg};
    own(PyObject_VectorcallMethod(level, args, arg ? 3 : 2, nullptr));
}

void set_sigint(State& st, PyObject* module, PyObject* handler_name_or_obj, bool by_name) {
    Ref signal = lookup(module, st.signal.get());
    Ref handler = by_name ? attr(signal.get(), handler_name_or_obj) : Ref::borrow(handler_name_or_obj);
    Ref signum = attr(signal.get(), st.SIGINT.get());
    PyObject* args[] = {signal.get(), signum.get(), handler.get()};
    own(PyObject_VectorcallMethod(st.signal.get(), args, 3, nullptr));
}

Ref sigint_handler(const Call& c) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    Ref os = lookup(module, st.os.get());
    Ref pid = own(PyObject_CallMethodNoArgs(os.get(), st.getpid.get()));
    log(st, module, st.debug.get(),
        "PID-%s received CTRL-C (SIGINT): hit CTRL-C again to fully interrupt this process", pid.get());
    PyObject* callback = c.closure();
    if (check(PyObject_IsTrue(callback))) own(PyObject_CallOneArg(callback, c[1]));
    own(PyObject_CallNoArgs(lookup(module, st.restore_sigint_handler.get()).get()));
    return Ref::borrow(Py_None);
}

Ref enable_double_ctrl_c(const Call& c) {
    State& st = c.state<State>();
    Ref handler = make_closure(st.handler_template.get(), Ref::borrow(c[0]));
    set_sigint(st, c.module(), handler.get(), false);
    return Ref::borrow(Py_None);
}

Ref restore_sigint_handler(const Call& c) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    log(st, module, st.debug.get(), "Resetting SIGINT handler");
    try {
        set_sigint(st, module, st.default_int_handler.get(), true);
    } catch (const Error&) {
        PyErr_Clear();  // whatever failed, fall back to the OS default
        log(st, module, st.warning.get(), "Failed to re-use signal.default_int_handler");
        log(st, module, st.warning.get(), "Reverting to signal.SIG_DFL instead...");
        set_sigint(st, module, st.SIG_DFL.get(), true);
    }
    return Ref::borrow(Py_None);
}

const FuncDef sigint_handler_def{
    "sigint_handler",
    "(signum, frame)",
    "Swallow this SIGINT, tell the callback, and restore the default handler.",
    sigint_handler,
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
    Ref logging = own(PyImport_ImportModule("logging"));
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logging", logging);
    add_object(module, "os", own(PyImport_ImportModule("os")));
    add_object(module, "signal", own(PyImport_ImportModule("signal")));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));
    for (auto [ref, text] : {std::pair{&st.logger, "logger"}, {&st.os, "os"}, {&st.signal, "signal"},
                             {&st.restore_sigint_handler, "restore_sigint_handler"}, {&st.debug, "debug"},
                             {&st.warning, "warning"}, {&st.getpid, "getpid"}, {&st.SIGINT, "SIGINT"},
                             {&st.default_int_handler, "default_int_handler"}, {&st.SIG_DFL, "SIG_DFL"}})
        *ref = intern(text);
    st.handler_template = make_function(module, sigint_handler_def, "enable_double_ctrl_c.<locals>");
    add_functions(module, {&enable_def, &restore_def});
}

}  // namespace

OVK_MODULE(State, exec, "Double Ctrl-C: make the first SIGINT only warn.")
