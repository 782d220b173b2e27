// An embedder's headers as the configure test needs them: its Node release
// and the module version it stamps into node_version.h.
#define NODE_MAJOR_VERSION 22
#define NODE_MINOR_VERSION 9
#define NODE_PATCH_VERSION 0
#define NODE_MODULE_VERSION 130
