-- Starts the tabula language server (tabula-lsp) with Neovim's built-in LSP
-- client for every buffer whose filetype is tabula. It uses only
-- vim.lsp.start_client and vim.lsp.buf_attach_client, so it works from
-- Neovim 0.7 on (vim.lsp.start came with 0.8).
--
--   require('tabula.lsp').setup({
--     cmd = { 'tabula-lsp' },          -- the server and its arguments
--     root_markers = { '.git' },       -- the workspace is the nearest folder
--                                      -- holding one of these, else the
--                                      -- file's own folder
--     on_attach = function(client, bufnr) ... end,   -- e.g. key mappings
--   })
--
-- One server runs per workspace folder; every tabula buffer under that
-- folder is attached to it.
local M = {}

local defaults = {
  cmd = { 'tabula-lsp' },
  root_markers = { '.git' },
  on_attach = nil,
  capabilities = nil,
  settings = {},
}

local config = vim.deepcopy(defaults)
local client_of_root = {}
local warned_missing = false

local function find_root(path, markers)
  local dir = vim.fn.fnamemodify(path, ':p:h')
  while true do
    for _, marker in ipairs(markers) do
      if vim.loop.fs_stat(dir .. '/' .. marker) then
        return dir
      end
    end
    local parent = vim.fn.fnamemodify(dir, ':h')
    if parent == dir then
      return nil
    end
    dir = parent
  end
end

local function running(id)
  local client = id and vim.lsp.get_client_by_id(id)
  return client ~= nil and not client.is_stopped()
end

local function start(root)
  if vim.fn.executable(config.cmd[1]) ~= 1 then
    if not warned_missing then
      warned_missing = true
      vim.notify('tabula: language server "' .. config.cmd[1] .. '" not found', vim.log.levels.WARN)
    end
    return nil
  end
  return vim.lsp.start_client({
    name = 'tabula',
    cmd = config.cmd,
    root_dir = root,
    workspace_folders = { { uri = vim.uri_from_fname(root), name = root } },
    capabilities = config.capabilities,
    settings = config.settings,
    on_attach = config.on_attach,
  })
end

-- Attaches the buffer to the server of its workspace, starting it if needed.
-- Returns the client id, or nil when there is no server to attach to.
function M.attach(bufnr)
  bufnr = (bufnr == nil or bufnr == 0) and vim.api.nvim_get_current_buf() or bufnr
  local path = vim.api.nvim_buf_get_name(bufnr)
  if path == '' then
    return nil
  end
  local root = find_root(path, config.root_markers) or vim.fn.fnamemodify(path, ':p:h')
  if not running(client_of_root[root]) then
    client_of_root[root] = start(root)
  end
  local id = client_of_root[root]
  if id then
    vim.lsp.buf_attach_client(bufnr, id)
  end
  return id
end

function M.setup(opts)
  config = vim.tbl_extend('force', vim.deepcopy(defaults), opts or {})
  warned_missing = false
  local group = vim.api.nvim_create_augroup('tabula_lsp', { clear = true })
  vim.api.nvim_create_autocmd('FileType', {
    group = group,
    pattern = 'tabula',
    callback = function(args)
      M.attach(args.buf)
    end,
  })
  for _, bufnr in ipairs(vim.api.nvim_list_bufs()) do
    if vim.api.nvim_buf_is_loaded(bufnr) and vim.bo[bufnr].filetype == 'tabula' then
      M.attach(bufnr)
    end
  end
end

return M
