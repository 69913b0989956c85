#include "jobs/handlers.h"

std::string documents_folder() {
  const char *documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
  if (documents && g_file_test(documents, G_FILE_TEST_IS_DIR)) return documents;
  return home_folder();
}
