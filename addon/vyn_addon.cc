// The native bridge addon: three JavaScript functions that load the bridge
// library from a path the application supplies and forward texts to its
// exports. Written against the host's own Node and V8 interface (not Node-API)
// because the application's host binds addons that way.

#include <node.h>
#include <v8.h>

#include <cstdint>

#include "bridge_loader.h"

#ifndef VYN_ADDON_MODULE_VERSION
#error "VYN_ADDON_MODULE_VERSION must name the host's NODE_MODULE_VERSION"
#endif

namespace {

using vyn::addon::LibraryHandle;

// Signatures of the bridge library's exports.
using TextExport = void (*)(const char* utf8, std::int32_t length);
using CacheExport = const char* (*)();

constexpr const char* kInitExport = "vynAddonInit";
constexpr const char* kUserIdExport = "vynAddonInit2";
constexpr const char* kCacheExport = "getSystemCache";

// Process-wide and never released: the bridge library may keep state or
// threads of its own, so it stays loaded until the process ends.
LibraryHandle g_bridge = nullptr;

void log_to_console(v8::Isolate* isolate, v8::Local<v8::String> message) {
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  // Logging is a side channel: a console that throws must not turn into an
  // exception out of a bridge call, nor leave one pending for the next step.
  v8::TryCatch try_catch(isolate);
  v8::Local<v8::Value> console;
  if (!context->Global()
           ->Get(context, v8::String::NewFromUtf8Literal(isolate, "console"))
           .ToLocal(&console) ||
      !console->IsObject()) {
    return;
  }
  v8::Local<v8::Object> console_object = console.As<v8::Object>();
  v8::Local<v8::Value> log;
  if (!console_object->Get(context, v8::String::NewFromUtf8Literal(isolate, "log")).ToLocal(&log) ||
      !log->IsFunction()) {
    return;
  }
  v8::Local<v8::Value> argv[] = {message};
  (void)log.As<v8::Function>()->Call(context, console_object, 1, argv);
}

void log_to_console(v8::Isolate* isolate, const char* message) {
  v8::HandleScope scope(isolate);
  v8::Local<v8::String> text;
  if (v8::String::NewFromUtf8(isolate, message).ToLocal(&text)) {
    log_to_console(isolate, text);
  }
}

// The failed-load message with the code in decimal, formatted by the host
// (the number never reaches the range where JavaScript writes exponents).
void log_load_failure(v8::Isolate* isolate, unsigned long code) {
  v8::HandleScope scope(isolate);
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  v8::Local<v8::String> digits;
  if (!v8::Number::New(isolate, static_cast<double>(code))->ToString(context).ToLocal(&digits)) {
    return;
  }
  log_to_console(isolate, v8::String::Concat(
                              isolate,
                              v8::String::NewFromUtf8Literal(
                                  isolate, "[VYN Addon] Error: Failed to load DLL. Error code: "),
                              digits));
}

void set_number(const v8::FunctionCallbackInfo<v8::Value>& args, std::int32_t value) {
  args.GetReturnValue().Set(v8::Integer::New(args.GetIsolate(), value));
}

// vynAddonInit(text, [path]): 0, -1, -3 or the system error of a failed load.
void vyn_addon_init(const v8::FunctionCallbackInfo<v8::Value>& args) {
  v8::Isolate* isolate = args.GetIsolate();
  if (args.Length() < 1) {
    log_to_console(isolate, "[VYN Addon] Error: init function requires at least 1 parameter");
    set_number(args, -1);
    return;
  }
  const v8::String::Utf8Value text(isolate, args[0]);
  // Only a call with exactly two arguments loads; any other count goes on with
  // the library of an earlier call, or reports why there is none.
  if (args.Length() == 2) {
    const v8::String::Utf8Value path(isolate, args[1]);
    g_bridge = vyn::addon::load_library(*path, path.length());
  }
  if (g_bridge == nullptr) {
    const unsigned long code = vyn::addon::load_failure_code();
    log_load_failure(isolate, code);
    args.GetReturnValue().Set(v8::Number::New(isolate, static_cast<double>(code)));
    return;
  }
  log_to_console(isolate, "[VYN Addon] DLL loaded successfully");
  auto init = reinterpret_cast<TextExport>(vyn::addon::find_export(g_bridge, kInitExport));
  if (init == nullptr) {
    log_to_console(isolate, "[VYN Addon] Error: Failed to get vynAddonInit function address");
    set_number(args, -3);
    return;
  }
  init(*text, text.length());
  log_to_console(isolate, "[VYN Addon] Initialization completed");
  set_number(args, 0);
}

// setUserID(id): always undefined; the outcome is only logged.
void set_user_id(const v8::FunctionCallbackInfo<v8::Value>& args) {
  v8::Isolate* isolate = args.GetIsolate();
  if (args.Length() < 1) {
    log_to_console(isolate, "[VYN Addon] Error: setUserID function requires at least 1 parameter");
    return;
  }
  const v8::String::Utf8Value id(isolate, args[0]);
  if (g_bridge == nullptr) {
    log_to_console(isolate,
                   "[VYN Addon] Error: DLL is not loaded. Please call init function first.");
    return;
  }
  auto set_id = reinterpret_cast<TextExport>(vyn::addon::find_export(g_bridge, kUserIdExport));
  if (set_id == nullptr) {
    // The message keeps the call's older name, which log readers search for.
    log_to_console(isolate, "[VYN Addon] Error: Failed to get vynSetUserID function address");
    return;
  }
  set_id(*id, id.length());
  log_to_console(isolate, "[VYN Addon] UserID set successfully");
}

// getSystemCache(): the bridge's text, null when it has none, undefined when
// there is no library or export to ask. It logs nothing.
void get_system_cache(const v8::FunctionCallbackInfo<v8::Value>& args) {
  auto cache = reinterpret_cast<CacheExport>(vyn::addon::find_export(g_bridge, kCacheExport));
  if (cache == nullptr) {
    return;
  }
  const char* text = cache();
  if (text == nullptr) {
    args.GetReturnValue().SetNull();
    return;
  }
  v8::Local<v8::String> result;
  if (v8::String::NewFromUtf8(args.GetIsolate(), text).ToLocal(&result)) {
    args.GetReturnValue().Set(result);
  }
}

void export_function(v8::Isolate* isolate, v8::Local<v8::Context> context,
                     v8::Local<v8::Object> exports, const char* name,
                     v8::FunctionCallback callback) {
  v8::Local<v8::String> js_name =
      v8::String::NewFromUtf8(isolate, name, v8::NewStringType::kInternalized).ToLocalChecked();
  v8::Local<v8::Function> function =
      v8::FunctionTemplate::New(isolate, callback)->GetFunction(context).ToLocalChecked();
  function->SetName(js_name);
  exports->Set(context, js_name, function).FromJust();
}

void register_exports(v8::Local<v8::Object> exports, v8::Local<v8::Value> /*module*/,
                      void* /*priv*/) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  export_function(isolate, context, exports, "vynAddonInit", vyn_addon_init);
  export_function(isolate, context, exports, "setUserID", set_user_id);
  export_function(isolate, context, exports, "getSystemCache", get_system_cache);
}

// The host links this record into its own list, so it must stay writable and
// live as long as the module. The file name is only for the host's messages;
// __FILE__ would put the build machine's path into the module.
node::node_module g_module = {
    VYN_ADDON_MODULE_VERSION,  // nm_version: the host refuses any other
    0,                         // nm_flags
    nullptr,                   // nm_dso_handle
    "vyn_addon.cc",            // nm_filename
    register_exports,          // nm_register_func
    nullptr,                   // nm_context_register_func: not context-aware
    "vynAddon",                // nm_modname
    nullptr,                   // nm_priv
    nullptr,                   // nm_link
};

// The host's loader collects the record while it loads the library, so it
// must be handed over from a static initialiser rather than on first call.
struct ModuleRegistration {
  ModuleRegistration() { node_module_register(&g_module); }
} const g_registration;

}  // namespace
