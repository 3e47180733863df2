// A received file the program saved and verified: the row that offers "打开" and
// "打开所在文件夹".
#pragma once

#include <string>
#include <utility>

#include "shell/ui_state.h"

namespace dovan {

inline TransferRow finished_received_row(std::string name, std::string saved_path) {
    TransferRow row;
    row.direction = TransferDirection::Receive;
    row.name = std::move(name);
    row.status = "已完成";
    row.percent = 100;
    row.saved_path = std::move(saved_path);
    return row;
}

}  // namespace dovan
