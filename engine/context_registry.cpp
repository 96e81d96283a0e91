#include "engine/context_registry.h"

#include <map>
#include <memory>

#include "common/critical_section.h"
#include "engine/engine_context.h"
#include "engine/patch_library.h"

namespace {

struct ContextRegistry {
    CriticalSection lock;
    std::map<std::string, std::unique_ptr<EngineContext>> contexts;
};

ContextRegistry& Registry() {
    static ContextRegistry registry;
    return registry;
}

}  // namespace

EngineContext& FindOrCreateContext(const std::string& appId) {
    ContextRegistry& registry = Registry();
    ScopedLock guard(registry.lock);
    const bool libraryLoaded = LoadPatchLibraryOnce();
    auto found = registry.contexts.find(appId);
    if (found != registry.contexts.end()) return *found->second;
    auto context = std::make_unique<EngineContext>();
    context->appID = appId;
    context->applyEntry = libraryLoaded ? ResolvePatchApplyEntry() : nullptr;
    EngineContext& created = *context;
    registry.contexts.emplace(appId, std::move(context));
    return created;
}

size_t ContextCount() {
    ContextRegistry& registry = Registry();
    ScopedLock guard(registry.lock);
    return registry.contexts.size();
}
