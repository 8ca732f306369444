// The component model, registration and form text.
#include "host/component.h"

#include <algorithm>
#include <mutex>

#include "host/exceptions.h"

namespace KivTrans2 {

namespace {
thread_local bool tDesigning = false;
}  // namespace

TDesignScope::TDesignScope() : FPrevious(tDesigning) { tDesigning = true; }
TDesignScope::~TDesignScope() { tDesigning = FPrevious; }
bool TDesignScope::Active() { return tDesigning; }

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  FDesigning = tDesigning || (AOwner && AOwner->Designing());
  if (FOwner) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Tell everyone who watches this component, and stop watching others.
  std::vector<TComponent*> Watchers = FFreeNotifies;
  FFreeNotifies.clear();
  for (TComponent* W : Watchers) {
    auto& Theirs = W->FFreeNotifies;
    Theirs.erase(std::remove(Theirs.begin(), Theirs.end(), this), Theirs.end());
    W->Notification(this, TOperation::opRemove);
  }
  // Owned components go last first; each takes itself off this list.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount()) throw EListError("List index out of bounds");
  return FComponents[static_cast<size_t>(Index)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* C : FComponents)
    if (C->Name() == AName) return C;
  return nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  auto& Theirs = AComponent->FFreeNotifies;
  if (std::find(Theirs.begin(), Theirs.end(), this) == Theirs.end()) Theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                      FFreeNotifies.end());
  auto& Theirs = AComponent->FFreeNotifies;
  Theirs.erase(std::remove(Theirs.begin(), Theirs.end(), this), Theirs.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  for (TComponent* C : FComponents)
    if (C != AComponent) C->Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent),
                    FComponents.end());
  // Siblings may refer to the removed component (a client to its connection).
  for (TComponent* C : FComponents) C->Notification(AComponent, TOperation::opRemove);
  Notification(AComponent, TOperation::opRemove);
}

const TComponentClass& TOwnerComponent::ClassInfo() const {
  static const TComponentClass Class{
      "TOwnerComponent", [](TComponent* AOwner) { return new TOwnerComponent(AOwner); }, {}};
  return Class;
}

std::string BoolToText(bool Value) { return Value ? "True" : "False"; }

bool TextToBool(const std::string& Text) {
  if (Text == "True") return true;
  if (Text == "False") return false;
  throw EConvertError("'" + Text + "' is not a valid boolean value");
}

bool IsPropertyStored(const TComponent& Component, const TPropertyInfo& Property) {
  if (Property.Kind == TPropertyKind::Event || !Property.Get) return false;
  std::string Value = Property.Get(Component);
  if (Property.Default) return Value != *Property.Default;
  return !Value.empty();
}

// --- Registration -------------------------------------------------------------

namespace {

struct TRegistry {
  std::mutex Lock;
  std::vector<TPalettePage> Pages;                // GUARDED_BY(Lock)
  std::vector<const TComponentClass*> Classes;    // GUARDED_BY(Lock)
};

TRegistry& Registry() {
  static TRegistry* R = new TRegistry();
  return *R;
}

void AddClassLocked(TRegistry& R, const TComponentClass* Class) {
  if (std::find(R.Classes.begin(), R.Classes.end(), Class) == R.Classes.end())
    R.Classes.push_back(Class);
}

}  // namespace

void RegisterComponents(const std::string& Page,
                        const std::vector<const TComponentClass*>& Classes) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> Lock(R.Lock);
  auto It = std::find_if(R.Pages.begin(), R.Pages.end(),
                         [&](const TPalettePage& P) { return P.Name == Page; });
  if (It == R.Pages.end()) {
    R.Pages.push_back({Page, {}});
    It = R.Pages.end() - 1;
  }
  for (const TComponentClass* Class : Classes) {
    if (!Class) continue;
    AddClassLocked(R, Class);
    if (std::find(It->Classes.begin(), It->Classes.end(), Class) == It->Classes.end())
      It->Classes.push_back(Class);
  }
}

void RegisterClass(const TComponentClass* Class) {
  if (!Class) return;
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> Lock(R.Lock);
  AddClassLocked(R, Class);
}

void UnRegisterClasses() {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> Lock(R.Lock);
  R.Pages.clear();
  R.Classes.clear();
}

std::vector<TPalettePage> PalettePages() {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> Lock(R.Lock);
  return R.Pages;
}

const TComponentClass* FindComponentClass(const std::string& ClassName) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> Lock(R.Lock);
  for (const TComponentClass* C : R.Classes)
    if (C->ClassName == ClassName) return C;
  return nullptr;
}

TComponent* CreateComponent(const std::string& ClassName, TComponent* AOwner) {
  const TComponentClass* Class = FindComponentClass(ClassName);
  return Class ? Class->Create(AOwner) : nullptr;
}

// --- Forms ----------------------------------------------------------------------

namespace {

std::string QuoteString(const std::string& Value) {
  std::string Out;
  bool InQuote = false;
  for (unsigned char C : Value) {
    if (C < 0x20 || C >= 0x7F) {
      if (InQuote) Out += '\'';
      InQuote = false;
      Out += '#' + std::to_string(C);
    } else {
      if (!InQuote) Out += '\'';
      InQuote = true;
      if (C == '\'') Out += '\'';
      Out += static_cast<char>(C);
    }
  }
  if (InQuote) Out += '\'';
  if (Out.empty()) Out = "''";
  return Out;
}

[[noreturn]] void FormError(int LineNo, const std::string& What) {
  throw Exception("Form line " + std::to_string(LineNo) + ": " + What);
}

std::string UnquoteString(const std::string& Text, int LineNo) {
  std::string Out;
  size_t I = 0;
  while (I < Text.size()) {
    if (Text[I] == '\'') {
      ++I;
      for (;;) {
        if (I >= Text.size()) FormError(LineNo, "unterminated string");
        if (Text[I] == '\'') {
          if (I + 1 < Text.size() && Text[I + 1] == '\'') {
            Out += '\'';
            I += 2;
            continue;
          }
          ++I;
          break;
        }
        Out += Text[I++];
      }
    } else if (Text[I] == '#') {
      ++I;
      size_t Start = I;
      while (I < Text.size() && Text[I] >= '0' && Text[I] <= '9') ++I;
      if (Start == I) FormError(LineNo, "bad character code");
      int Code = std::stoi(Text.substr(Start, I - Start));
      if (Code > 255) FormError(LineNo, "bad character code");
      Out += static_cast<char>(Code);
    } else {
      FormError(LineNo, "bad string value");
    }
  }
  return Out;
}

void SaveComponent(const TComponent& C, int Depth, std::string& Out) {
  std::string Indent(static_cast<size_t>(Depth) * 2, ' ');
  Out += Indent + "object " + C.Name() + ": " + C.ClassName() + "\n";
  for (const TPropertyInfo& P : C.ClassInfo().Properties) {
    if (!IsPropertyStored(C, P)) continue;
    std::string Value = P.Get(C);
    if (P.Kind == TPropertyKind::String) Value = QuoteString(Value);
    Out += Indent + "  " + P.Name + " = " + Value + "\n";
  }
  for (int I = 0; I < C.ComponentCount(); ++I) SaveComponent(*C.Components(I), Depth + 1, Out);
  Out += Indent + "end\n";
}

std::string Strip(const std::string& S) {
  size_t B = S.find_first_not_of(" \t\r");
  if (B == std::string::npos) return "";
  size_t E = S.find_last_not_of(" \t\r");
  return S.substr(B, E - B + 1);
}

}  // namespace

std::string SaveForm(const TComponent& Root) {
  std::string Out;
  for (int I = 0; I < Root.ComponentCount(); ++I) SaveComponent(*Root.Components(I), 0, Out);
  return Out;
}

void LoadForm(TComponent& Root, const std::string& Text) {
  struct TFixup {
    TComponent* Component;
    const TPropertyInfo* Property;
    std::string Target;
    int LineNo;
  };
  std::vector<TComponent*> Stack{&Root};
  std::vector<TComponent*> Created;
  std::vector<TFixup> Fixups;
  int LineNo = 0;
  size_t Pos = 0;
  while (Pos <= Text.size()) {
    size_t End = Text.find('\n', Pos);
    if (End == std::string::npos) End = Text.size();
    std::string Line = Strip(Text.substr(Pos, End - Pos));
    Pos = End + 1;
    ++LineNo;
    if (Line.empty()) continue;
    if (Line.rfind("object ", 0) == 0) {
      std::string Rest = Strip(Line.substr(7));
      size_t Colon = Rest.find(':');
      if (Colon == std::string::npos) FormError(LineNo, "expected 'object Name: Class'");
      std::string Name = Strip(Rest.substr(0, Colon));
      std::string ClassName = Strip(Rest.substr(Colon + 1));
      TComponent* C = CreateComponent(ClassName, Stack.back());
      if (!C) FormError(LineNo, "class " + ClassName + " not found");
      C->SetName(Name);
      C->BeginLoading();
      Created.push_back(C);
      Stack.push_back(C);
    } else if (Line == "end") {
      if (Stack.size() < 2) FormError(LineNo, "unexpected 'end'");
      Stack.pop_back();
    } else {
      if (Stack.size() < 2) FormError(LineNo, "property outside an object");
      size_t Eq = Line.find('=');
      if (Eq == std::string::npos) FormError(LineNo, "expected 'Property = Value'");
      std::string PropName = Strip(Line.substr(0, Eq));
      std::string Value = Strip(Line.substr(Eq + 1));
      TComponent* C = Stack.back();
      const TPropertyInfo* Found = nullptr;
      for (const TPropertyInfo& P : C->ClassInfo().Properties)
        if (P.Name == PropName) Found = &P;
      if (!Found || !Found->Set)
        FormError(LineNo, "property " + PropName + " of " + C->ClassName() + " cannot be loaded");
      if (Found->Kind == TPropertyKind::Component) {
        Fixups.push_back({C, Found, Value, LineNo});
        continue;
      }
      if (Found->Kind == TPropertyKind::String) Value = UnquoteString(Value, LineNo);
      Found->Set(*C, Value);
    }
  }
  if (Stack.size() != 1) FormError(LineNo, "missing 'end'");
  for (const TFixup& F : Fixups) {
    if (!Root.FindComponent(F.Target) && !F.Target.empty())
      FormError(F.LineNo, "component " + F.Target + " not found");
    F.Property->Set(*F.Component, F.Target);
  }
  for (TComponent* C : Created) C->Loaded();
}

}  // namespace KivTrans2
