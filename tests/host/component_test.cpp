#include "host/component.h"

#include <gtest/gtest.h>

#include <functional>

#include "host/exceptions.h"
#include "host/sysutils.h"

namespace KivTrans2 {
namespace {

// A component with one property of each kind; it records what it was told.
class TWidget : public TComponent {
 public:
  explicit TWidget(TComponent* AOwner) : TComponent(AOwner) { DesigningAtConstruction = Designing(); }
  ~TWidget() override {
    if (Log) Log->push_back("destroy " + Name());
  }
  const TComponentClass& ClassInfo() const override { return Class(); }
  static const TComponentClass& Class();

  void SetCount(int Value) {
    Count = Value;
    ++CountWrites;
  }
  void SetPeer(TWidget* Value) {
    if (Peer) RemoveFreeNotification(Peer);
    Peer = Value;
    if (Peer) FreeNotification(Peer);
  }
  void Loaded() override {
    TComponent::Loaded();
    WasLoaded = true;
  }

  int Count = 3;
  int CountWrites = 0;
  bool Flag = false;
  std::string Text;
  TWidget* Peer = nullptr;
  std::function<void()> OnThing;
  bool DesigningAtConstruction = false;
  bool WasLoaded = false;
  std::vector<std::string>* Log = nullptr;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == Peer) Peer = nullptr;
  }
};

const TComponentClass& TWidget::Class() {
  static const TComponentClass C{
      "TWidget",
      [](TComponent* AOwner) { return new TWidget(AOwner); },
      {
          {"Count", TPropertyKind::Integer, "Integer", "3",
           [](const TComponent& C) { return IntToStr(static_cast<const TWidget&>(C).Count); },
           [](TComponent& C, const std::string& V) { static_cast<TWidget&>(C).SetCount(StrToInt(V)); }},
          {"Flag", TPropertyKind::Boolean, "Boolean", "False",
           [](const TComponent& C) { return BoolToText(static_cast<const TWidget&>(C).Flag); },
           [](TComponent& C, const std::string& V) { static_cast<TWidget&>(C).Flag = TextToBool(V); }},
          {"Text", TPropertyKind::String, "string", std::nullopt,
           [](const TComponent& C) { return static_cast<const TWidget&>(C).Text; },
           [](TComponent& C, const std::string& V) { static_cast<TWidget&>(C).Text = V; }},
          {"Peer", TPropertyKind::Component, "TWidget", std::nullopt,
           [](const TComponent& C) {
             auto* P = static_cast<const TWidget&>(C).Peer;
             return P ? P->Name() : std::string();
           },
           [](TComponent& C, const std::string& V) {
             auto* P = dynamic_cast<TWidget*>(C.Owner()->FindComponent(V));
             static_cast<TWidget&>(C).SetPeer(P);
           }},
          {"OnThing", TPropertyKind::Event, "TNotifyEvent", std::nullopt,
           [](const TComponent& C) {
             return static_cast<const TWidget&>(C).OnThing ? std::string("assigned") : std::string();
           },
           nullptr},
      }};
  return C;
}

TEST(ComponentTest, OwnerDestroysWhatItOwnsAndTellsTheSiblings) {
  std::vector<std::string> Log;
  auto* Root = new TOwnerComponent();
  auto* A = new TWidget(Root);
  auto* B = new TWidget(Root);
  A->SetName("A");
  B->SetName("B");
  A->Log = B->Log = &Log;
  A->Peer = B;  // a plain reference to a sibling, without FreeNotification
  EXPECT_EQ(Root->ComponentCount(), 2);
  EXPECT_EQ(Root->FindComponent("B"), B);
  delete B;
  EXPECT_EQ(A->Peer, nullptr);  // the owner told the sibling
  EXPECT_EQ(Root->ComponentCount(), 1);
  delete Root;
  EXPECT_EQ(Log, (std::vector<std::string>{"destroy B", "destroy A"}));
}

TEST(ComponentTest, FreeNotificationReachesAcrossOwners) {
  TOwnerComponent Form1, Form2;
  auto* A = new TWidget(&Form1);
  auto* B = new TWidget(&Form2);
  A->SetPeer(B);
  delete B;
  EXPECT_EQ(A->Peer, nullptr);
  // And the other way: A gone first leaves B with no dangling watcher.
  auto* C = new TWidget(&Form2);
  A->SetPeer(C);
  delete A;
  delete C;
}

TEST(ComponentTest, DesigningStateIsKnownDuringConstruction) {
  TOwnerComponent Runtime;
  auto* R = new TWidget(&Runtime);
  EXPECT_FALSE(R->DesigningAtConstruction);
  {
    TDesignScope Scope;
    TOwnerComponent Designer;
    auto* D = new TWidget(&Designer);
    EXPECT_TRUE(D->DesigningAtConstruction);
    EXPECT_TRUE(Designer.Designing());
  }
  EXPECT_FALSE(TDesignScope::Active());
}

TEST(ComponentTest, RegistrationKeepsPagesAndClassesInOrder) {
  UnRegisterClasses();
  RegisterComponents("P1", {&TWidget::Class(), &TOwnerComponent().ClassInfo()});
  RegisterComponents("P2", {&TWidget::Class()});
  RegisterComponents("P1", {&TWidget::Class()});  // no duplicate
  auto Pages = PalettePages();
  ASSERT_EQ(Pages.size(), 2u);
  EXPECT_EQ(Pages[0].Name, "P1");
  ASSERT_EQ(Pages[0].Classes.size(), 2u);
  EXPECT_EQ(Pages[0].Classes[0]->ClassName, "TWidget");
  EXPECT_EQ(Pages[0].Classes[1]->ClassName, "TOwnerComponent");
  TOwnerComponent Root;
  TComponent* C = CreateComponent("TWidget", &Root);
  ASSERT_NE(C, nullptr);
  EXPECT_EQ(C->Owner(), &Root);
  EXPECT_EQ(CreateComponent("TNothing", &Root), nullptr);
  UnRegisterClasses();
  EXPECT_TRUE(PalettePages().empty());
}

TEST(FormTest, StoresOnlyValuesThatDifferFromTheirDefaults) {
  TOwnerComponent Root;
  auto* A = new TWidget(&Root);
  A->SetName("A");
  EXPECT_EQ(SaveForm(Root), "object A: TWidget\nend\n");
  A->Count = 5;
  A->Flag = true;
  A->OnThing = [] {};
  EXPECT_EQ(SaveForm(Root), "object A: TWidget\n  Count = 5\n  Flag = True\nend\n");
}

TEST(FormTest, RoundTripRunsTheWritersAndResolvesReferences) {
  RegisterClass(&TWidget::Class());
  TOwnerComponent Source;
  auto* A = new TWidget(&Source);
  auto* B = new TWidget(&Source);
  A->SetName("A");
  B->SetName("B");
  A->Count = 7;
  A->Text = std::string("it's \xD7 a\r\nline\x01");
  A->SetPeer(B);  // a reference to a component stored after it
  std::string Form = SaveForm(Source);

  TOwnerComponent Target;
  LoadForm(Target, Form);
  ASSERT_EQ(Target.ComponentCount(), 2);
  auto* A2 = dynamic_cast<TWidget*>(Target.FindComponent("A"));
  auto* B2 = dynamic_cast<TWidget*>(Target.FindComponent("B"));
  ASSERT_TRUE(A2 && B2);
  EXPECT_EQ(A2->Count, 7);
  EXPECT_EQ(A2->CountWrites, 1);  // through the writer
  EXPECT_EQ(A2->Text, A->Text);
  EXPECT_EQ(A2->Peer, B2);
  EXPECT_TRUE(A2->WasLoaded && B2->WasLoaded);
  EXPECT_FALSE(A2->Loading());
  UnRegisterClasses();
}

TEST(FormTest, MalformedFormsRaise) {
  RegisterClass(&TWidget::Class());
  const char* Bad[] = {
      "object A: TNothing\nend\n",           // unknown class
      "object A: TWidget\n  Nope = 1\nend\n",  // unknown property
      "object A: TWidget\n  Count = x\nend\n",  // not a number
      "object A: TWidget\n  Text = 'open\nend\n",
      "object A: TWidget\n",                 // no end
      "end\n",
      "object A: TWidget\n  Peer = Z\nend\n",  // no such component
  };
  for (const char* Text : Bad) {
    TOwnerComponent Root;
    EXPECT_ANY_THROW(LoadForm(Root, Text)) << Text;
  }
  UnRegisterClasses();
}

}  // namespace
}  // namespace KivTrans2
