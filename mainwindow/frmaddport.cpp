// The real entry dialog behind EntryDialogPort: the program's one frmAdd,
// made on first use and kept for the run.

#include <QLineEdit>

#include "compaction/filesystem.h"
#include "entrydialog/frmadd.h"
#include "mainwindow/entrydialogport.h"

namespace {

class frmAddPort : public EntryDialogPort {
  public:
    frmAddPort(TargetSink& sink, MessageBoxes& boxes, QWidget* owner)
        : m_holder(
              sink, boxes, [] { return std::make_unique<FileSystemObject>(); }, owner) {}

    void SetAdd(bool bAdd) override { m_holder.Get().m_bAdd = bAdd; }
    void SetFields(const QString& strCaption, const QString& strFile,
                   const QString& strPassword) override {
        frmAdd& dialog = m_holder.Get();
        dialog.txtCaption()->setText(strCaption);
        dialog.txtFile()->setText(strFile);
        dialog.txtPasswd()->setText(strPassword);
    }
    void ShowModal() override { m_holder.Get().ShowModal(); }
    bool Cancel() const override { return m_holder.Created() && m_holder.Get().Cancel(); }

  private:
    mutable frmAddHolder m_holder;
};

}  // namespace

std::unique_ptr<EntryDialogPort> MakeFrmAddPort(TargetSink& sink, MessageBoxes& boxes,
                                                QWidget* owner) {
    return std::make_unique<frmAddPort>(sink, boxes, owner);
}
