// Directory creation and removal on libuv's synchronous file system calls.
#include <uv.h>

#include <mutex>

#include "core/log_internal.h"
#include "kavri/param.h"

namespace {

// The default loop is created on first use; make that first use single.
uv_loop_t *default_loop() {
    static std::once_flag once;
    static uv_loop_t *loop = nullptr;
    std::call_once(once, [] { loop = uv_default_loop(); });
    return loop;
}

// One synchronous request, cleaned up whatever the outcome.
class SyncFsReq {
  public:
    SyncFsReq() = default;
    SyncFsReq(const SyncFsReq &) = delete;
    SyncFsReq &operator=(const SyncFsReq &) = delete;
    ~SyncFsReq() { uv_fs_req_cleanup(&req_); }
    uv_fs_t *get() { return &req_; }

  private:
    uv_fs_t req_{};
};

int path_access(const char *path) {
    SyncFsReq req;
    return uv_fs_access(default_loop(), req.get(), path, F_OK, nullptr);
}

}  // namespace

extern "C" KAVRI_API int uv_fs_mkdir_ex(const char *dir, uint32_t mode) {
    if (dir == nullptr) return UV_EINVAL;
    if (path_access(dir) == 0) return 0;
    SyncFsReq req;
    const int rc = uv_fs_mkdir(default_loop(), req.get(), dir, static_cast<int>(mode), nullptr);
    if (rc != 0) KV_INF("[%s] Create dir:%s failed\n", __func__, dir);
    return rc;
}

extern "C" KAVRI_API int uv_fs_rmdir_ex(const char *dir) {
    if (dir == nullptr) return UV_EINVAL;
    const int access_rc = path_access(dir);
    if (access_rc != 0) return access_rc;
    SyncFsReq req;
    const int rc = uv_fs_rmdir(default_loop(), req.get(), dir, nullptr);
    if (rc != 0) {
        KV_ERR("[%s] remove dir failed:%d\n", __func__, rc);
    } else {
        KV_DBG("[%s] remove dir ok\n", __func__);
    }
    return rc;
}
