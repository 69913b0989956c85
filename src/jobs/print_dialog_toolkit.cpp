// Living with the toolkit's print dialog: labels it would leak, backends that outlive
// it, and printers it finds only after it is made.
#include "jobs/print_dialog_toolkit.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "jobs/print_job.h"

// The toolkit's option widgets (GTK 2.24) make a label of their own for some options
// ("external" labels), which the dialog may never pack, and later destroy it while it
// is still floating: a destroyed widget that nobody owns is never freed, some kilobytes
// a dialog. So every such label the dialog has is owned by the dialog from the moment
// it is seen (whenever the printer or its details change, and before the dialog
// goes), and let go when the dialog is freed. The option widget's type has no header
// of its own; its label is asked for by its exported name.
extern "C" GtkWidget *gtk_printer_option_widget_get_external_label(GtkWidget *widget);
constexpr char kLabelsKey[] = "vandrel-option-labels";

static void keep_option_labels_in(GtkWidget *widget, std::vector<GtkWidget *> *kept) {
  if (strcmp(G_OBJECT_TYPE_NAME(widget), "GtkPrinterOptionWidget") == 0) {
    GtkWidget *label = gtk_printer_option_widget_get_external_label(widget);
    if (label && !gtk_widget_get_parent(label) && g_object_is_floating(label))
      kept->push_back(GTK_WIDGET(g_object_ref_sink(label)));
  }
  if (GTK_IS_CONTAINER(widget))
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget *child, gpointer data) {
          keep_option_labels_in(child, static_cast<std::vector<GtkWidget *> *>(data));
        },
        kept);
}

void keep_option_labels(GtkPrintUnixDialog *pd) {
  auto *kept = static_cast<std::vector<GtkWidget *> *>(g_object_get_data(G_OBJECT(pd), kLabelsKey));
  if (kept) keep_option_labels_in(GTK_WIDGET(pd), kept);
}

// The print backends of the printers the dialog has had selected, kept on the dialog.
constexpr char kBackendsKey[] = "vandrel-backends";

// Notes the backend of the dialog's selected printer (notify::selected-printer).
static void note_backend(GtkPrintUnixDialog *pd, GParamSpec *pspec, gpointer data) {
  (void)pspec;
  (void)data;
  GtkPrinter *printer = gtk_print_unix_dialog_get_selected_printer(pd);
  GtkPrintBackend *backend = printer ? gtk_printer_get_backend(printer) : nullptr;
  auto *backends =
      static_cast<std::vector<GtkPrintBackend *> *>(g_object_get_data(G_OBJECT(pd), kBackendsKey));
  if (backend && std::find(backends->begin(), backends->end(), backend) == backends->end())
    backends->push_back(backend);
}

// The toolkit disconnects the print dialog from its backends only when the dialog is
// finalized; a dialog another client destroyed is still referenced a while (by
// gtk_dialog_run and run_dialog), and a printer's status change meanwhile would reach
// its destroyed widgets. So the dialog is disconnected from the backends it is known
// to listen to as it is destroyed. The backends live as long as the dialog does.
static void forget_backends(GtkWidget *dialog, gpointer data) {
  (void)data;
  auto *backends = static_cast<std::vector<GtkPrintBackend *> *>(
      g_object_get_data(G_OBJECT(dialog), kBackendsKey));
  for (GtkPrintBackend *backend : *backends)
    g_signal_handlers_disconnect_matched(backend, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                         dialog);
  backends->clear();
}

namespace {
// How long the print dialog is kept back, at most, for the toolkit to find the
// printers and lay out the default one's options. The dialog grows once it has
// them; shown before, it would widen and be moved back to the centre while the person
// looks at it. A local print server answers within a few tens of milliseconds; a
// busy machine may take some hundreds.
constexpr gint64 kPrinterWaitMs = 1000;
// How often, in milliseconds, the dialog is looked at meanwhile.
constexpr guint kPrinterLookMs = 10;

// How long, in milliseconds, the print server's printers must stay listed with none
// chosen before the dialog counts as having no default printer: the toolkit may learn
// the default one a moment after the list.
constexpr gint64 kNoDefaultMs = 250;

struct PrinterWait {
  GtkPrintUnixDialog *pd;
  GMainLoop *loop;
  gint64 until;            // monotonic time, microseconds
  gint64 none_chosen = 0;  // since when printers are listed and none chosen, or 0
};
}  // namespace

// Whether widget is, or holds, a list of printers (a tree view with printer objects in
// its rows) with a printer of the print server in it.
static bool lists_server_printer(GtkWidget *widget) {
  if (GTK_IS_TREE_VIEW(widget)) {
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(widget));
    gint columns = model ? gtk_tree_model_get_n_columns(model) : 0;
    GtkTreeIter row;
    bool more = model && gtk_tree_model_get_iter_first(model, &row);
    for (; more; more = gtk_tree_model_iter_next(model, &row)) {
      for (gint i = 0; i < columns; ++i) {
        if (!g_type_is_a(gtk_tree_model_get_column_type(model, i), G_TYPE_OBJECT)) continue;
        GObject *object = nullptr;
        gtk_tree_model_get(model, &row, i, &object, -1);
        bool server = GTK_IS_PRINTER(object) && is_print_server_printer(GTK_PRINTER(object));
        if (object) g_object_unref(object);
        if (server) return true;
      }
    }
    return false;
  }
  bool found = false;
  if (GTK_IS_CONTAINER(widget))
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget *child, gpointer data) {
          bool *seen = static_cast<bool *>(data);
          if (!*seen) *seen = lists_server_printer(child);
        },
        &found);
  return found;
}

// Whether the dialog of wait has laid itself out for its printers: the printer it
// chose has its details, or the print server's printers have been listed with none
// chosen for kNoDefaultMs (there is no default one; the person picks).
static bool printers_settled(PrinterWait *wait) {
  GtkPrinter *printer = gtk_print_unix_dialog_get_selected_printer(wait->pd);
  if (printer) return gtk_printer_has_details(printer);
  if (!lists_server_printer(GTK_WIDGET(wait->pd))) {
    wait->none_chosen = 0;
    return false;
  }
  gint64 now = g_get_monotonic_time();
  if (wait->none_chosen == 0) wait->none_chosen = now;
  return now - wait->none_chosen >= kNoDefaultMs * 1000;
}

// A look of the main loop's timer (toolkit lock held): ends the wait once the
// printers are settled or the time is up.
static gboolean printer_look(gpointer data) {
  auto *wait = static_cast<PrinterWait *>(data);
  if (!printers_settled(wait) && g_get_monotonic_time() < wait->until) return TRUE;
  g_main_loop_quit(wait->loop);
  return FALSE;
}

void wait_for_printers(GtkPrintUnixDialog *pd) {
  GtkPrinter *chosen = gtk_print_unix_dialog_get_selected_printer(pd);
  if (chosen && gtk_printer_has_details(chosen)) return;
  PrinterWait wait{pd, g_main_loop_new(nullptr, FALSE),
                   g_get_monotonic_time() + kPrinterWaitMs * 1000};
  // The look alone ends the loop, and its source with it.
  gdk_threads_add_timeout(kPrinterLookMs, printer_look, &wait);
  gdk_threads_leave();
  g_main_loop_run(wait.loop);
  gdk_threads_enter();
  g_main_loop_unref(wait.loop);
}

void look_after_print_dialog(GtkPrintUnixDialog *pd) {
  g_object_set_data_full(G_OBJECT(pd), kLabelsKey, new std::vector<GtkWidget *>, [](gpointer p) {
    auto *kept = static_cast<std::vector<GtkWidget *> *>(p);
    for (GtkWidget *label : *kept) g_object_unref(label);
    delete kept;
  });
  g_object_set_data_full(
      G_OBJECT(pd), kBackendsKey, new std::vector<GtkPrintBackend *>,
      [](gpointer p) { delete static_cast<std::vector<GtkPrintBackend *> *>(p); });
  note_backend(pd, nullptr, nullptr);
  g_signal_connect(pd, "notify::selected-printer", G_CALLBACK(note_backend), nullptr);
  g_signal_connect(pd, "destroy", G_CALLBACK(forget_backends), nullptr);
}
