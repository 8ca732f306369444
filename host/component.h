// host/component.h — the component model: owners, names, the designing state,
// published-property metadata and removal notification. Public API.
//
// A component destroys the components it owns when it is destroyed. Components
// are created and destroyed on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/kiv_export.h"

namespace KivTrans2 {

class TComponent;

enum class TOperation { opInsert, opRemove };

enum class TPropertyKind { Integer, Cardinal, Boolean, String, Event, Component };

// One published property as the design environment and form streaming see it.
struct KIV_API TPropertyInfo {
  std::string Name;
  TPropertyKind Kind;
  std::string TypeName;                // "Integer", "TAnswerEvent", "TKivConnection", ...
  std::optional<std::string> Default;  // text of the declared default; none: no default
  // Value as text (integers in decimal, Booleans "True"/"False", a component by
  // its Name, an event "assigned" or empty). Unset for nothing.
  std::function<std::string(const TComponent&)> Get;
  // Writes the value from its text, through the property's writer. Unset for
  // events, which the application binds in code.
  std::function<void(TComponent&, const std::string&)> Set;
};

// A component class: its name, a factory and its published properties in order.
struct KIV_API TComponentClass {
  std::string ClassName;
  std::function<TComponent*(TComponent* AOwner)> Create;  // returns an owned-by-AOwner object
  std::vector<TPropertyInfo> Properties;
};

class KIV_API TComponent {
 public:
  // Registers this component with AOwner, which will destroy it. A component is
  // designing when AOwner is designing or a TDesignScope is open on this thread.
  explicit TComponent(TComponent* AOwner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value) { FName = Value; }
  TComponent* Owner() const { return FOwner; }

  bool Designing() const { return FDesigning; }
  bool Loading() const { return FLoading; }
  bool Destroying() const { return FDestroying; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const;
  TComponent* FindComponent(const std::string& AName) const;

  // Asks to be told (Notification with opRemove) when AComponent is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  // The class description (name and published properties).
  virtual const TComponentClass& ClassInfo() const = 0;
  const std::string& ClassName() const { return ClassInfo().ClassName; }

  // Called once after a form has set every stored property of this component.
  virtual void Loaded() { FLoading = false; }

  // Form loading marks the component while it writes its properties.
  void BeginLoading() { FLoading = true; }

 protected:
  // Told when a component this one watches (owned, or via FreeNotification) is
  // removed. Overrides call the inherited one.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  std::string FName;
  TComponent* FOwner;
  bool FDesigning = false;
  bool FLoading = false;
  bool FDestroying = false;
  std::vector<TComponent*> FComponents;     // owned
  std::vector<TComponent*> FFreeNotifies;   // told of this component's removal, and vice versa
};

// While one lives on a thread, every component created on that thread is in the
// designing state from its construction on (a designer, a form loader in design
// mode).
class KIV_API TDesignScope {
 public:
  TDesignScope();
  ~TDesignScope();
  TDesignScope(const TDesignScope&) = delete;
  TDesignScope& operator=(const TDesignScope&) = delete;
  static bool Active();

 private:
  bool FPrevious;
};

// A plain owner for components created in code: a form or data module.
class KIV_API TOwnerComponent : public TComponent {
 public:
  explicit TOwnerComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  const TComponentClass& ClassInfo() const override;
};

// --- Text of property values ------------------------------------------------

KIV_API std::string BoolToText(bool Value);
KIV_API bool TextToBool(const std::string& Text);  // "True"/"False", raises EConvertError

// True when the property's current value would be written to a form.
KIV_API bool IsPropertyStored(const TComponent& Component, const TPropertyInfo& Property);

// --- Registration -----------------------------------------------------------

// Registers classes on a palette page, keeping the order of pages and classes.
// A class already on a page is not added twice. REQUIRES: main thread.
KIV_API void RegisterComponents(const std::string& Page,
                                const std::vector<const TComponentClass*>& Classes);
// Makes a class known for form loading and CreateComponent without a page.
KIV_API void RegisterClass(const TComponentClass* Class);
KIV_API void UnRegisterClasses();  // forgets every page and class (package unloading)

struct KIV_API TPalettePage {
  std::string Name;
  std::vector<const TComponentClass*> Classes;
};
KIV_API std::vector<TPalettePage> PalettePages();
KIV_API const TComponentClass* FindComponentClass(const std::string& ClassName);

// Creates a registered component by class name, owned by AOwner; nullptr when
// the class is unknown.
KIV_API TComponent* CreateComponent(const std::string& ClassName, TComponent* AOwner);

// --- Forms --------------------------------------------------------------------
//
// A form is the text of a root's owned components and their stored properties:
//
//   object Server1: TKivServer
//     MaxPriorities = 5
//     ServerDir = '/srv/x'
//   end
//
// Strings are quoted with ', a ' inside doubled; bytes below 0x20 and 0x7F and
// above are written as #NNN between quoted runs. Events are not stored.

KIV_API std::string SaveForm(const TComponent& Root);
// Creates the form's components owned by Root and writes their properties
// (component references are resolved among Root's components after all are
// created), then calls Loaded on each. Raises Exception on malformed text or an
// unknown class or property. REQUIRES: main thread.
KIV_API void LoadForm(TComponent& Root, const std::string& Text);

}  // namespace KivTrans2
