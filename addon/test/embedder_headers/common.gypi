# The parts of a common.gypi that decide an addon's macros.
{
  'variables': {
    'v8_enable_pointer_compression%': 0,
    'v8_enable_31bit_smis_on_64bit_arch%': 0,
    'v8_enable_pointer_compression_shared_cage%': 0,
    'v8_enable_external_code_space%': 0,
    'v8_enable_map_packing%': 0,
    'v8_enable_sandbox%': 0,
    'using_electron_config_gypi%': 0,
    'conditions': [
      ['target_arch in "arm ia32 mips mipsel ppc"', {
        'v8_enable_pointer_compression': 0,
        'v8_enable_sandbox': 0
      }],
    ],
  },
  'target_defaults': {
    'defines': [
      '_GLIBCXX_USE_CXX11_ABI=1',
      'ELECTRON_ENSURE_CONFIG_GYPI',
    ],
    'conditions': [
      ['using_electron_config_gypi == 1', {
        'defines': ['USING_ELECTRON_CONFIG_GYPI'],
      }],
      ['v8_enable_pointer_compression == 1', {
        'defines': ['V8_COMPRESS_POINTERS'],
      }],
      ['v8_enable_pointer_compression_shared_cage == 1', {
        'defines': ['V8_COMPRESS_POINTERS_IN_SHARED_CAGE'],
      }],
      ['v8_enable_pointer_compression == 1 and v8_enable_pointer_compression_shared_cage != 1', {
        'defines': ['V8_COMPRESS_POINTERS_IN_MULTIPLE_CAGES'],
      }],
      ['v8_enable_pointer_compression == 1 or v8_enable_31bit_smis_on_64bit_arch == 1', {
        'defines': ['V8_31BIT_SMIS_ON_64BIT_ARCH'],
      }],
      ['v8_enable_sandbox == 1', {
        'defines': ['V8_ENABLE_SANDBOX'],
      }],
      ['v8_enable_external_code_space == 1', {
        'defines': ['V8_EXTERNAL_CODE_SPACE'],
      }],
      ['v8_enable_map_packing == 1', {
        'defines': ['V8_MAP_PACKING'],
      }],
      ['OS == "win"', {
        'defines': ['WIN32', '_HAS_EXCEPTIONS=0', 'BUILDING_V8_SHARED=1'],
      }],
    ],
  },
}
