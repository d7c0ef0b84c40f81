#pragma once
// CCipherMethodsDlg: the catalogue's suites in an allowed and a disabled
// list under a predefined base mode, with single suites moved, added or
// removed as customised entries. Works on its own copy; the caller takes
// BaseMode() and Overrides() after OK.
#include <QDialog>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

class QTreeWidget;

namespace Ui {
class CipherMethodsDialog;
}

namespace hbt {

struct CipherRow;

class CCipherMethodsDlg : public QDialog {
    Q_OBJECT
public:
    CCipherMethodsDlg(int32_t baseMode, std::map<uint16_t, bool> overrides, QWidget* parent = nullptr);
    ~CCipherMethodsDlg() override;

    int32_t BaseMode() const { return baseMode_; }
    const std::map<uint16_t, bool>& Overrides() const { return overrides_; }

private:
    void SetUpList(QTreeWidget* list);
    void Refill();
    void Move(QTreeWidget* from, bool allow);
    void Add(bool allow);
    void Remove(QTreeWidget* from);

    std::unique_ptr<Ui::CipherMethodsDialog> ui_;
    int32_t baseMode_;
    std::map<uint16_t, bool> overrides_;
};

}  // namespace hbt
