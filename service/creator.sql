CREATE TABLE IF NOT EXISTS sys_configure
( cfg_no            INTEGER PRIMARY KEY AUTOINCREMENT
, cfg_userno        INTEGER
, cfg_key           VARCHAR(250)
, cfg_type          INTEGER
, cfg_value         VARCHAR(250)
, cfg_stamp         VARCHAR(20)
, cfg_description   VARCHAR(250)
);
CREATE UNIQUE INDEX IF NOT EXISTS sys_configure_cfg_key__index ON sys_configure(cfg_key ASC);

INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('System.Id'          , 'Z9REVERSEPROXY');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('System.Version'     , '1');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.Id'        , 'Z9REVERSEPROXY');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.Version'   , '1');
INSERT INTO SYS_Configure(cfg_key, cfg_value)VALUES('Database.First.Date', DATETIME(CURRENT_TIMESTAMP, 'localtime'));

CREATE TABLE t_reverseproxy
( pxy_no            INTEGER     PRIMARY KEY AUTOINCREMENT
, crt_time          DATETIME    DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'localtime')) -- 首次创建时间
, opr_time          DATETIME    DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'localtime')) -- 末次修改时间
, pxy_name          TEXT        DEFAULT ''
, pxy_srcprotocol   TEXT        DEFAULT '' -- 限制唯一
, pxy_srcport       INTEGER     DEFAULT  0 -- 协议+端口+路径必须唯一
, pxy_srcpath       TEXT        DEFAULT ''
, pxy_srcurl        TEXT        DEFAULT '' -- 协议+端口+路径必须唯一
, pxy_params        TEXT        DEFAULT ''
);
-- pxy_name，必须唯一
-- 协议+端口+路径必须唯一
-- 同个端口，协议必须唯一


CREATE VIEW IF NOT EXISTS v_reverseproxy
AS
    SELECT t.pxy_no           AS  pxyno
         , t.crt_time         AS  crttime
         , t.opr_time         AS  oprtime
         , t.pxy_name         AS  name
         , t.pxy_srcprotocol  AS  srcprotocol
         , t.pxy_srcport      AS  srcport
         , t.pxy_srcpath      AS  srcpath
         , t.pxy_srcurl       AS  srcurl
         , t.pxy_params       AS  params
      FROM t_reverseproxy t
;
