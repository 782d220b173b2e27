// The V8 build options the configure test expects to see defined; the
// headers' tests of a macro are what make it count.
#if defined(V8_COMPRESS_POINTERS) && defined(V8_31BIT_SMIS_ON_64BIT_ARCH)
#endif
#if defined(V8_COMPRESS_POINTERS_IN_SHARED_CAGE) || defined(V8_COMPRESS_POINTERS_IN_MULTIPLE_CAGES)
#endif
#if defined(V8_ENABLE_SANDBOX) || defined(V8_EXTERNAL_CODE_SPACE) || defined(V8_MAP_PACKING)
#endif
#ifdef BUILDING_V8_SHARED
#endif
