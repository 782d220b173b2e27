# An embedder's configuration: V8 with pointer compression in one cage per
# isolate group, the sandbox and the external code space.
{ 'target_defaults': {'defines': []},
  'variables': { 'built_with_electron': 1,
                 'node_module_version': 130,
                 'target_arch': 'x64',
                 'using_electron_config_gypi': 1,
                 'v8_enable_31bit_smis_on_64bit_arch': 1,
                 'v8_enable_external_code_space': 1,
                 'v8_enable_pointer_compression': 1,
                 'v8_enable_pointer_compression_shared_cage': 0,
                 'v8_enable_sandbox': 1}}
