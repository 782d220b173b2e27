// The embedder's guard: its headers refuse a build that lacks its config.gypi.
#ifdef ELECTRON_ENSURE_CONFIG_GYPI
#ifndef USING_ELECTRON_CONFIG_GYPI
#error "built without the embedder's config.gypi"
#endif
#endif
