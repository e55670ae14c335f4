// Registration of the component type with the manager in this process: the
// profile handed to the factory, the instance it creates, and the exported
// init function, here and in the shipped executable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>

#include "TolvarineContorollerModule.h"

namespace {

RTC::RTObject_impl* g_created = nullptr;

void initAndCreate(RTC::Manager* manager) {
  TolvarineContorollerModuleInit(manager);
  g_created = manager->createComponent("TolvarineContorollerModule");
}

// Symbol `name` in the dynamic symbol table of the ELF file at `path`:
// true when it is defined there as a global function.
bool exportsFunction(const std::string& path, const std::string& name, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> image((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
      image[EI_CLASS] != ELFCLASS64) {
    *why = path + " is not a 64-bit ELF file";
    return false;
  }
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  auto section = [&](std::size_t index) {
    Elf64_Shdr s;
    std::memcpy(&s, image.data() + header.e_shoff + index * header.e_shentsize, sizeof s);
    return s;
  };
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr symbols = section(i);
    if (symbols.sh_type != SHT_DYNSYM) {
      continue;
    }
    const Elf64_Shdr strings = section(symbols.sh_link);
    for (std::size_t k = 0; k < symbols.sh_size / sizeof(Elf64_Sym); ++k) {
      Elf64_Sym sym;
      std::memcpy(&sym, image.data() + symbols.sh_offset + k * sizeof sym, sizeof sym);
      if (name != image.data() + strings.sh_offset + sym.st_name) {
        continue;
      }
      if (sym.st_shndx == SHN_UNDEF || ELF64_ST_BIND(sym.st_info) != STB_GLOBAL ||
          ELF64_ST_TYPE(sym.st_info) != STT_FUNC) {
        *why = name + " is in the dynamic symbol table but not as a defined global function";
        return false;
      }
      return true;
    }
  }
  *why = name + " is not in the dynamic symbol table of " + path;
  return false;
}

}  // namespace

TEST(ComponentRegistration, ProfileAndCreatedInstance) {
  char dirPattern[] = "/tmp/tolvarine-reg-XXXXXX";
  ASSERT_NE(mkdtemp(dirPattern), nullptr);
  const std::string dir = dirPattern;
  const std::string conf = dir + "/rtc.conf";
  std::ofstream(conf) << "manager.standin.control_socket: " << dir << "/manager.sock\n";

  std::vector<std::string> args = {"registration_test", "-f", conf};
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(&a[0]);
  }
  argv.push_back(nullptr);
  RTC::Manager* manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
  manager->setModuleInitProc(initAndCreate);
  manager->activateManager();

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"implementation_id", "TolvarineContorollerModule"},
      {"type_name", "TolvarineContorollerModule"},
      {"description", "ModuleDescription"},
      {"version", "1.0.0"},
      {"vendor", "VenderName"},
      {"category", "Category"},
      {"activity_type", "PERIODIC"},
      {"kind", "DataFlowComponent"},
      {"max_instance", "0"},
      {"language", "C++"},
      {"lang_type", "compile"},
      {"conf.default.COM_Port", "COM1"},
      {"conf.default.Foward_Direction", "FORWARD"},
      {"conf.default.Tolvarine_Tread_meter", "0.5488"},
      {"conf.__widget__.COM_Port", "text"},
      {"conf.__widget__.Foward_Direction", "text"},
      {"conf.__widget__.Tolvarine_Tread_meter", "text"},
      {"conf.__constraints__.Foward_Direction", "FORWARD or BACK"},
  };
  std::vector<coil::Properties> profiles = manager->getFactoryProfiles();
  ASSERT_EQ(profiles.size(), 1u);
  const coil::Properties& profile = profiles.front();
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string& key : profile.propertyNames()) {
    pairs.emplace_back(key, profile.getProperty(key));
  }
  EXPECT_EQ(pairs, expected);

  ASSERT_NE(g_created, nullptr) << "createComponent failed";
  EXPECT_STREQ(g_created->getTypeName(), "TolvarineContorollerModule");
  EXPECT_EQ(g_created->getProperties().getProperty("implementation_id"),
            "TolvarineContorollerModule");
  EXPECT_STREQ(g_created->getInstanceName(), "TolvarineContorollerModule0");
  EXPECT_STREQ(g_created->getCategory(), "Category");
  EXPECT_EQ(manager->getComponents().size(), 1u);

  manager->shutdown();
  std::remove(conf.c_str());
  rmdir(dir.c_str());
}

TEST(ComponentRegistration, InitFunctionIsExportedUnmangled) {
  // This program links the component with its symbols exported, as the
  // executable does: the init function is found by its plain name.
  void* self = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(self, nullptr) << dlerror();
  void* found = dlsym(self, "TolvarineContorollerModuleInit");
  EXPECT_EQ(found, reinterpret_cast<void*>(&TolvarineContorollerModuleInit));
  dlclose(self);

  // And the executable itself carries it in its dynamic symbol table.
  std::string why;
  EXPECT_TRUE(exportsFunction(TOLVARINE_COMPONENT_EXE, "TolvarineContorollerModuleInit", &why))
      << why;
}
