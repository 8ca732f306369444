// A small application of an installed KivTrans2: registers the package's
// components, then a client asks a server for a word in capitals through a
// shared directory, all in this one process. Exits 0 when the answer came.
//
//   kivtrans2_consumer
#include <KivTrans2.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

using namespace KivTrans2;

int main() {
  SetMainThread();

  Register();
  for (const TPalettePage& Page : PalettePages()) {
    std::printf("palette page %s:", Page.Name.c_str());
    for (const TComponentClass* Class : Page.Classes) std::printf(" %s", Class->ClassName.c_str());
    std::printf("\n");
  }

  // The exchange directory: new, and removed at the end.
  namespace fs = std::filesystem;
  const fs::path Dir =
      fs::temp_directory_path() / ("kivtrans2-consumer-" + std::to_string(std::random_device{}()));
  fs::create_directory(Dir);

  bool Done = false;
  std::string Answer;
  {
    TOwnerComponent Form;  // owns the three components
    auto* Server = new TKivServer(&Form);
    Server->SetUseTCP(false);
    Server->SetServerDir(Dir.string());
    Server->OnRequest = [](TKivServer*, TRequest* Request) {
      while (!Request->IsEOF()) {
        std::string Line = Request->ReadLine();
        for (char& C : Line) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
        Request->WriteLine(Line);
      }
    };
    auto* Connection = new TKivConnection(&Form);
    Connection->SetUseTCP(false);
    Connection->SetServerDir(Dir.string());
    auto* Client = new TKivClient(&Form);
    Client->SetConnection(Connection);
    Client->OnRequest = [](TKivClient* Sender) { Sender->WriteLine("hello"); };
    Client->OnAnswer = [&](TKivClient* Sender, bool&) {
      if (!Sender->IsEOF()) Answer = Sender->ReadLine();
    };
    Client->OnTransEnd = [&](TKivClient*, bool) { Done = true; };

    try {
      Server->Activate();
      Client->Request();
      ProcessMessagesUntil([&] { return Done; }, 20000);
      Server->DeActivate();
    } catch (const Exception& E) {
      std::fprintf(stderr, "kivtrans2_consumer: %s\n", E.Message().c_str());
    }
  }
  fs::remove_all(Dir);

  std::printf("answer: %s\n", Answer.c_str());
  return Answer == "HELLO" ? 0 : 1;
}
