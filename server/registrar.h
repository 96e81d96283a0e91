// The registrar: applies a registry script (see registry_script.h) to the registry.
//
// Registration creates or opens every key and writes its default and named values.
// ForceRemove deletes the key with everything under it first; Delete deletes the key instead
// of creating it (its block is not written). When any step fails, the whole script is run
// again in unregistration mode and the failure is returned.
//
// Unregistration removes each key of the script, with its subkeys and values, unless it is
// marked NoRemove. A NoRemove key stays: its block is walked, and the named values that the
// script gives it are deleted (its default value stays). A key named CLSID or TYPELIB (any
// case) has its block walked the same way and is removed only when no subkeys are left under
// it. Keys and values that are not there are passed over. Unregistration goes on after a
// failure and returns the first one.
//
// Nothing is ever shown or logged.
#pragma once
#include <windows.h>

#include <map>
#include <string>

// The script's text did not parse, or a replacement had no value (nothing was changed).
constexpr HRESULT kRegistryScriptInvalid = static_cast<HRESULT>(0x8007000DL);  // ERROR_INVALID_DATA

HRESULT ApplyRegistryScript(const std::string& scriptText, bool registering,
                            const std::map<std::string, std::string>& replacements);

// The value of %MODULE% for a module path: its short form, or the path itself when the
// system gives no short form; single quotes doubled. E_OUTOFMEMORY when the short form
// does not fit 260 characters.
HRESULT ModuleReplacementFromPath(const std::string& modulePath, std::string& value);

// Reads the resource of type "REGISTRY" with the number id (the text is not zero-terminated
// there). False when the module has no such resource.
bool LoadRegistryScript(HMODULE module, int id, std::string& text);
