-- lua/tabula/lsp.lua with a stand-in server (fake_server.py): a tabula buffer
-- starts the server for its workspace and receives its diagnostics, a second
-- buffer of the same workspace shares that server, and a missing server is
-- a warning, not an error. Environment: PYTHON, SCRATCH (an empty folder).
local failures = 0
local function expect(what, got, wanted)
  if got ~= wanted then
    failures = failures + 1
    print(string.format('%s: expected %s, got %s\n', what, vim.inspect(wanted), vim.inspect(got)))
  end
end

local scratch = os.getenv('SCRATCH')
local here = vim.fn.fnamemodify(debug.getinfo(1, 'S').source:sub(2), ':p:h')
local log = scratch .. '/server.log'
local project = scratch .. '/project'
vim.fn.mkdir(project .. '/.git', 'p')
vim.fn.mkdir(project .. '/schema', 'p')
vim.fn.writefile({ '/* tabula */', 'type id_t = "INTEGER";' }, project .. '/schema/main.def')
vim.fn.writefile({ '/* tabula */', 'type name_t = "TEXT";' }, project .. '/schema/types.def')

vim.cmd('filetype plugin on')
require('tabula.lsp').setup({ cmd = { os.getenv('PYTHON'), here .. '/fake_server.py', log } })

local function open(path)
  vim.cmd('edit ' .. vim.fn.fnameescape(path))
  local bufnr = vim.api.nvim_get_current_buf()
  local published = vim.wait(10000, function() return #vim.diagnostic.get(bufnr) > 0 end, 50)
  expect('diagnostics published for ' .. path, published, true)
  return bufnr, vim.diagnostic.get(bufnr)[1]
end

local main, diagnostic = open(project .. '/schema/main.def')
if diagnostic then
  expect('diagnostic line', diagnostic.lnum, 1)
  expect('diagnostic message', diagnostic.message, 'opened in ' .. vim.uri_from_fname(project))
end
local types = open(project .. '/schema/types.def')
local clients = vim.lsp.get_active_clients()
expect('servers running', #clients, 1)
if clients[1] then
  expect('server name', clients[1].name, 'tabula')
  expect('workspace', clients[1].config.root_dir, project)
  expect('main.def attached', vim.lsp.buf_is_attached(main, clients[1].id), true)
  expect('types.def attached', vim.lsp.buf_is_attached(types, clients[1].id), true)
end

-- Without the server program: a warning, no client, no error.
local warnings = {}
vim.notify = function(message, level)
  table.insert(warnings, { message, level })
end
require('tabula.lsp').setup({ cmd = { 'tabula-lsp-not-installed' } })
vim.fn.mkdir(scratch .. '/elsewhere', 'p')
vim.fn.writefile({ '/* tabula */' }, scratch .. '/elsewhere/x.def')
vim.cmd('edit ' .. vim.fn.fnameescape(scratch .. '/elsewhere/x.def'))
expect('x.def attached to nothing', #vim.lsp.buf_get_clients(0), 0)
expect('warnings', #warnings, 1)
expect('warning level', warnings[1] and warnings[1][2], vim.log.levels.WARN)

vim.lsp.stop_client(vim.lsp.get_active_clients())
vim.wait(5000, function() return #vim.lsp.get_active_clients() == 0 end, 50)
local received = table.concat(vim.fn.readfile(log), ' ')
expect('server told to shut down', received:find('shutdown', 1, true) ~= nil, true)

print(failures == 0 and 'tabula.lsp with a stand-in server: all passed\n' or failures .. ' failed\n')
vim.cmd(failures == 0 and 'qall!' or 'cquit 1')
